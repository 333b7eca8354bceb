// Runs downloads the way the launcher does and shows their outcome to a test.
//   ovan_http_probe [--keep] <url> <body out path> [<url> <body out path>]...
// With --keep all downloads share one session, as a run that keeps its connection does; without
// it each opens its own. Presets the error text to a sentinel, writes each body to its path only on
// success, stops at the first failure, prints the error text as UTF-8 to standard output and exits
// 0 when every download succeeded, 1 on a failure.
#include "common/scoped_handle.h"
#include "common/text.h"
#include "transfer/http_get.h"

#include <windows.h>

#include <string>

namespace {

const wchar_t* const kSentinel = L"<nietknięty>";

bool writeAll(HANDLE handle, const void* data, size_t size)
{
    DWORD written = 0;
    return size == 0 || (WriteFile(handle, data, static_cast<DWORD>(size), &written, nullptr) && written == size);
}

bool writeBody(const wchar_t* path, const ovan::ByteBuffer& bytes)
{
    ovan::FileHandle file(CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    return file && writeAll(file.get(), bytes.data(), bytes.size());
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    bool keep = argc > 1 && std::wstring(argv[1]) == L"--keep";
    int first = keep ? 2 : 1;
    if (argc <= first || (argc - first) % 2 != 0) {
        return 2;
    }
    ovan::HttpSession session(keep);
    std::wstring errorText = kSentinel;
    bool ok = true;
    for (int i = first; ok && i < argc; i += 2) {
        ovan::ByteBuffer bytes;
        ok = ovan::httpGet(session, argv[i], bytes, errorText);
        if (ok && !writeBody(argv[i + 1], bytes)) {
            return 3;
        }
    }
    std::string text = ovan::encodeUtf8(errorText);
    writeAll(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), text.size());
    return ok ? 0 : 1;
}
