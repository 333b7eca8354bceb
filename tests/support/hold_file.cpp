// Holds a file open without sharing, so that other processes cannot move, replace or write it.
//   hold_file <path> <ready marker> [<trigger>]
// Waits for <trigger> to exist (when given; "<ready marker>.waiting" says it has begun to), opens <path>
// with share mode 0, creates <ready marker>, then keeps the file open until "<ready marker>.release"
// exists or 60 s have passed.
//   hold_file --landing <path> <staged path> <mark> <ready marker>
// Holds the file that is about to land at <path> from before it lands: holds <path> without sharing until <mark>
// exists (a swap that must move <path> aside then waits at that move), opens <staged path> sharing only its
// deletion (so that the swap can still move it into place, held), lets go of <path>, creates <ready marker> and
// keeps the staged file, wherever it lies by then, as above.
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

HANDLE openHeld(const std::wstring& path, DWORD share, DWORD disposition)
{
    return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr, disposition, 0, nullptr);
}

void holdUntilReleased(HANDLE file, const std::wstring& ready)
{
    mark(ready);
    waitFor(ready + L".release", 60000);
    CloseHandle(file);
}

int holdLanding(const std::wstring& target, const std::wstring& staged, const std::wstring& trigger,
                const std::wstring& ready)
{
    HANDLE old = openHeld(target, 0, OPEN_EXISTING);
    if (old == INVALID_HANDLE_VALUE) {
        return 1;
    }
    mark(ready + L".waiting");
    bool triggered = waitFor(trigger, 60000);
    HANDLE landing = triggered ? openHeld(staged, FILE_SHARE_DELETE, OPEN_EXISTING) : INVALID_HANDLE_VALUE;
    CloseHandle(old);
    if (landing == INVALID_HANDLE_VALUE) {
        return triggered ? 1 : 3;
    }
    holdUntilReleased(landing, ready);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 6 && std::wstring(argv[1]) == L"--landing") {
        return holdLanding(argv[2], argv[3], argv[4], argv[5]);
    }
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
    HANDLE file = openHeld(target, 0, OPEN_ALWAYS);
    if (file == INVALID_HANDLE_VALUE) {
        return 1;
    }
    holdUntilReleased(file, ready);
    return 0;
}
