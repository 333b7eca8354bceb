// The launcher's download step alone: each address fetched into memory with the launcher's own
// httpGet and dropped. Shows how much of an update is the platform's HTTP client.  fetch_only <url>...
#include "transfer/http_get.h"

#include <cstdio>

int wmain(int argc, wchar_t** argv)
{
    for (int i = 1; i < argc; ++i) {
        ovan::ByteBuffer body;
        std::wstring errorText;
        if (!ovan::httpGet(argv[i], body, errorText)) {
            std::fwprintf(stderr, L"%ls\n", errorText.c_str());
            return 1;
        }
    }
    return 0;
}
