// Keeps Wine's desktop process alive for a whole test run, so that message boxes return at once.
// Once its window (and with it the desktop) exists, it creates "<argument>.up"; it ends when the file
// named by its argument exists, or when the prefix's server is stopped.
#include <windows.h>

#include <string>

int wmain(int argc, wchar_t** argv)
{
    HWND window = CreateWindowW(L"STATIC", L"ovan idle", WS_OVERLAPPED, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    if (argc >= 2) {
        std::wstring up = std::wstring(argv[1]) + L".up";
        CloseHandle(CreateFileW(up.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    }
    while (argc < 2 || GetFileAttributesW(argv[1]) == INVALID_FILE_ATTRIBUTES) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&message);
        }
        Sleep(200);
    }
    DestroyWindow(window);
    return 0;
}
