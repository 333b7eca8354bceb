#pragma once

#include "transfer/http_get.h"

#include <windows.h>

#include <cstdint>
#include <string>

namespace ovan {

// One console line per file that updates in place while the file downloads. Shows nothing
// when standard output is not a console, so redirected output and the log stay as they are.
class ConsoleProgress : public DownloadObserver {
public:
    explicit ConsoleProgress(std::wstring fileName);
    ~ConsoleProgress();

    ConsoleProgress(const ConsoleProgress&) = delete;
    ConsoleProgress& operator=(const ConsoleProgress&) = delete;

    void onProgress(uint64_t received, uint64_t total) override;

private:
    void show(uint64_t received, uint64_t total);

    std::wstring fileName_;
    HANDLE console_ = nullptr;
    ULONGLONG lastShown_ = 0;
    uint64_t received_ = 0;
    uint64_t total_ = 0;
    bool shown_ = false;
};

// The text of one progress line, e.g. "app.dll: 45% (12.3 / 27.0 MB)".
std::wstring progressLine(const std::wstring& fileName, uint64_t received, uint64_t total);

}  // namespace ovan
