// Holds a file open without sharing, so that other processes cannot move, replace or write it.
//   hold_file <path> <ready marker> [<trigger>]
// Waits for <trigger> to exist (when given; "<ready marker>.waiting" says it has begun to), opens <path>
// with share mode 0, creates <ready marker>, then keeps the file open until "<ready marker>.release"
// exists or 60 s have passed.
#include <windows.h>

#include <string>

namespace {

bool exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool waitFor(const std::wstring& path, DWORD timeoutMs)
{
    for (DWORD waited = 0; waited < timeoutMs; waited += 5) {
        if (exists(path)) {
            return true;
        }
        Sleep(5);
    }
    return exists(path);
}

void mark(const std::wstring& path)
{
    CloseHandle(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3 && argc != 4) {
        return 2;
    }
    std::wstring target = argv[1];
    std::wstring ready = argv[2];
    if (argc == 4) {
        mark(ready + L".waiting");
        if (!waitFor(argv[3], 60000)) {
            return 3;
        }
    }
    HANDLE file = CreateFileW(target.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 1;
    }
    mark(ready);
    waitFor(ready + L".release", 60000);
    CloseHandle(file);
    return 0;
}
