#include "update/console_progress.h"

#include <cwchar>

namespace ovan {

namespace {

const ULONGLONG kMinimumIntervalMs = 250;

double megabytes(uint64_t bytes)
{
    return static_cast<double>(bytes) / (1024.0 * 1024.0);
}

HANDLE consoleOutput()
{
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    return (output != nullptr && output != INVALID_HANDLE_VALUE && GetConsoleMode(output, &mode)) ? output : nullptr;
}

}  // namespace

std::wstring progressLine(const std::wstring& fileName, uint64_t received, uint64_t total)
{
    wchar_t buffer[96] = {};
    if (total > 0) {
        unsigned percent = static_cast<unsigned>(received * 100 / total);
        swprintf(buffer, 96, L": %u%% (%.1f / %.1f MB)", percent, megabytes(received), megabytes(total));
    } else {
        swprintf(buffer, 96, L": %llu B (%.1f MB)", static_cast<unsigned long long>(received), megabytes(received));
    }
    return fileName + buffer;
}

ConsoleProgress::ConsoleProgress(std::wstring fileName) : fileName_(std::move(fileName)), console_(consoleOutput()) {}

ConsoleProgress::~ConsoleProgress()
{
    if (shown_) {
        show(received_, total_);
        DWORD written = 0;
        WriteConsoleW(console_, L"\r\n", 2, &written, nullptr);
    }
}

void ConsoleProgress::onProgress(uint64_t received, uint64_t total)
{
    received_ = received;
    total_ = total;
    if (console_ == nullptr) {
        return;
    }
    ULONGLONG now = GetTickCount64();
    if (shown_ && now - lastShown_ < kMinimumIntervalMs) {
        return;
    }
    lastShown_ = now;
    shown_ = true;
    show(received, total);
}

void ConsoleProgress::show(uint64_t received, uint64_t total)
{
    // Blanks after the text clear what a longer earlier line left.
    std::wstring line = L"\r" + progressLine(fileName_, received, total) + L"   ";
    DWORD written = 0;
    WriteConsoleW(console_, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

}  // namespace ovan
