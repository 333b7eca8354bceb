// Runs one download the way the launcher does and shows its outcome to a test.
//   ovan_http_probe <url> <body out path>
// Presets the error text to a sentinel, writes the body to <body out path> only on success,
// prints the error text as UTF-8 to standard output and exits 0 on success, 1 on failure.
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

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3) {
        return 2;
    }
    std::wstring errorText = kSentinel;
    ovan::ByteBuffer bytes;
    bool ok = ovan::httpGet(argv[1], bytes, errorText);
    if (ok) {
        ovan::FileHandle file(CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                          nullptr));
        if (!file || !writeAll(file.get(), bytes.data(), bytes.size())) {
            return 3;
        }
    }
    std::string text = ovan::encodeUtf8(errorText);
    writeAll(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), text.size());
    return ok ? 0 : 1;
}
