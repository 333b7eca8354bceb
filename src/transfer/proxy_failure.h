#pragma once

#include "diagnostics/error_text.h"

#include <string>

namespace ovan {

// The failure of a request sent through a proxy: the step's literal and the code's wording as for any
// download, plus which proxy carried it and what the user can do. A proxy that cannot be reached at all
// is said to be so.
std::wstring proxyFailureText(const std::wstring& proxy, const wchar_t* literal, unsigned long code,
                              ErrorWording wording);

}  // namespace ovan
