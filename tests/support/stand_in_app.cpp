// Stands in for Pellaron.exe: records how it was started in started.txt beside itself.
#include <windows.h>

#include <string>

namespace {

std::string utf8(const std::wstring& text)
{
    int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], length, nullptr, nullptr);
    return bytes;
}

}  // namespace

int main()
{
    // Room for the longest path, so that a long AppFolder is recorded whole and the record lands in it.
    const DWORD longest = 32768;
    std::wstring recordPath(longest, L'\0');
    recordPath.resize(GetModuleFileNameW(nullptr, &recordPath[0], longest));
    recordPath = recordPath.substr(0, recordPath.find_last_of(L'\\') + 1) + L"started.txt";

    std::wstring currentDirectory(longest, L'\0');
    currentDirectory.resize(GetCurrentDirectoryW(longest, &currentDirectory[0]));
    std::string record = utf8(GetCommandLineW()) + "\n" + utf8(currentDirectory) + "\n";

    HANDLE file = CreateFileW(recordPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 1;
    }
    DWORD written = 0;
    WriteFile(file, record.data(), static_cast<DWORD>(record.size()), &written, nullptr);
    CloseHandle(file);
    return 0;
}
