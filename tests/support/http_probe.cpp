// Runs one download the way the launcher does and shows its outcome to a test.
//   ovan_http_probe <url> <body out path>
// Presets the error text to a sentinel, writes the body to <body out path> only on success,
// prints the error text as UTF-8 to standard output and exits 0 on success, 1 on failure.
#include "common/text.h"
#include "transfer/http_get.h"

#include <windows.h>

#include <string>

namespace {

const wchar_t* const kSentinel = L"<nietknięty>";

std::wstring widen(const char* text)
{
    int length = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    std::wstring wide(static_cast<size_t>(length > 0 ? length : 1), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, &wide[0], length);
    wide.resize(wide.size() - 1);
    return wide;
}

bool writeAll(HANDLE handle, const void* data, size_t size)
{
    DWORD written = 0;
    return size == 0 || (WriteFile(handle, data, static_cast<DWORD>(size), &written, nullptr) && written == size);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        return 2;
    }
    std::wstring errorText = kSentinel;
    ovan::ByteBuffer bytes;
    bool ok = ovan::httpGet(widen(argv[1]), bytes, errorText);
    if (ok) {
        HANDLE file = CreateFileW(widen(argv[2]).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            return 3;
        }
        bool written = writeAll(file, bytes.data(), bytes.size());
        CloseHandle(file);
        if (!written) {
            return 3;
        }
    }
    std::string text = ovan::encodeUtf8(errorText);
    writeAll(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), text.size());
    return ok ? 0 : 1;
}
