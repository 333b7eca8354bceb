#pragma once

#include <string>

namespace ovan {

// The system's wording of a platform error code, trimmed; "kod błędu N" when it has none.
std::wstring formatSystemError(unsigned long code);

// The failure of an existence test that the system refused to answer.
std::wstring pathNotExaminedText(const std::wstring& path, unsigned long code);

}  // namespace ovan
