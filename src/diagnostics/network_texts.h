#pragma once

namespace ovan {

// The launcher's own sentence for a network failure the user meets; nullptr for any other code.
// Windows keeps WinHTTP's wording in winhttp.dll, not in the system table, and Wine has none for
// some Winsock codes, so without these the user reads only a number.
const wchar_t* networkErrorSentence(unsigned long code);

}  // namespace ovan
