#include "diagnostics/update_log.h"

#include "common/scoped_handle.h"
#include "common/text.h"

#include <windows.h>

#include <cwchar>

namespace ovan {


std::string formatLogEntry(const std::wstring& timestamp, const std::wstring& message)
{
    return encodeUtf8(toCrLf(L"[" + timestamp + L"] " + message + L"\n"));
}

std::wstring currentTimestamp()
{
    SYSTEMTIME now = {};
    GetLocalTime(&now);
    wchar_t buffer[64] = {};
    swprintf(buffer, 64, L"%04u-%02u-%02u %02u:%02u:%02u", now.wYear, now.wMonth, now.wDay, now.wHour,
             now.wMinute, now.wSecond);
    return buffer;
}

void appendLogLine(const AppFolder& appFolder, const std::wstring& message)
{
    std::wstring path = joinPath(appFolder, L"update.log");
    FileHandle file(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return;
    }
    std::string entry = formatLogEntry(currentTimestamp(), message);
    DWORD written = 0;
    WriteFile(file.get(), entry.data(), static_cast<DWORD>(entry.size()), &written, nullptr);
}

}  // namespace ovan
