#pragma once

#include <string>

namespace ovan {

// How a code the system has no text for is worded.
enum class ErrorWording {
    // "kod błędu N", as always.
    CodeNumber,
    // The launcher's own sentence for the network failures a user meets, else "kod błędu N".
    NetworkSentences,
};

// The system's wording of a platform error code, trimmed; when it has none, the given wording.
std::wstring formatSystemError(unsigned long code, ErrorWording wording = ErrorWording::CodeNumber);

// The failure of an existence test that the system refused to answer.
std::wstring pathNotExaminedText(const std::wstring& path, unsigned long code);

}  // namespace ovan
