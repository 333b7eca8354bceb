#include "diagnostics/fatal_report.h"

#include "common/text.h"
#include "diagnostics/update_log.h"

#include <windows.h>

namespace ovan {

const wchar_t* const kMessageBoxCaption = L"OVAN Launcher";

namespace {

void writeAll(HANDLE stream, const char* data, size_t size)
{
    while (size > 0) {
        DWORD written = 0;
        if (!WriteFile(stream, data, static_cast<DWORD>(size), &written, nullptr) || written == 0) {
            return;
        }
        data += written;
        size -= written;
    }
}

void writeConsoleAll(HANDLE console, const std::wstring& text)
{
    const wchar_t* data = text.data();
    size_t size = text.size();
    while (size > 0) {
        DWORD written = 0;
        if (!WriteConsoleW(console, data, static_cast<DWORD>(size), &written, nullptr) || written == 0) {
            return;
        }
        data += written;
        size -= written;
    }
}

}  // namespace

void writeStandardLine(unsigned long standardHandle, const std::wstring& text)
{
    HANDLE stream = GetStdHandle(standardHandle);
    if (stream == nullptr || stream == INVALID_HANDLE_VALUE) {
        return;
    }
    std::wstring line = toCrLf(text + L"\n");
    DWORD mode = 0;
    if (GetConsoleMode(stream, &mode)) {
        writeConsoleAll(stream, line);
    } else {
        std::string bytes = encodeUtf8(line);
        writeAll(stream, bytes.data(), bytes.size());
    }
    FlushFileBuffers(stream);
}

void writeStandardError(const std::wstring& text)
{
    writeStandardLine(STD_ERROR_HANDLE, text);
}

void showFatal(const std::wstring& text)
{
    MessageBoxW(nullptr, text.c_str(), kMessageBoxCaption, MB_OK | MB_ICONERROR);
    writeStandardError(text);
}

void reportFatal(const AppFolder& appFolder, const std::wstring& text)
{
    appendLogLine(appFolder, L"FATAL: " + text);
    showFatal(text);
}

}  // namespace ovan
