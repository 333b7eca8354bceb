#pragma once

#include "common/scoped_handle.h"

#include <windows.h>
#include <winhttp.h>

namespace ovan {

struct WinHttpTraits {
    using Value = HINTERNET;
    static Value empty() { return nullptr; }
    static void release(Value value) { WinHttpCloseHandle(value); }
};
using WinHttpHandle = Scoped<WinHttpTraits>;

// How the launcher introduces itself to servers and proxies.
const wchar_t* const kUserAgent = L"OVANLauncher/1.0";

}  // namespace ovan
