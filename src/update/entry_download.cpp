#include "update/entry_download.h"

#include "common/file_bytes.h"
#include "common/file_removal.h"
#include "diagnostics/update_log.h"
#include "update/console_progress.h"
#include "update/disk_space.h"
#include "update/resume_note.h"
#include "update/staging_file.h"

#include <windows.h>

#include <cwchar>

namespace ovan {

namespace {

const int kMostContinuations = 3;
// Before the first, second and third continuation.
const DWORD kPausesMs[kMostContinuations] = {1000, 2000, 4000};
// Under Wine, a connection the server closed before any byte of the answer (a kept one is sent again at once
// before it comes to this).
const DWORD kStaleConnectionError = ERROR_WINHTTP_INVALID_SERVER_RESPONSE;

std::wstring sizeText(uint64_t bytes)
{
    return std::to_wstring(bytes) + L" B";
}

// The most the file may grow to: the manifest's size, else what it holds plus what the disk can take while
// keeping a reserve.
uint64_t bodyBound(const ManifestFileEntry& entry, const std::wstring& stagingPath, uint64_t held)
{
    if (entry.hasSize) {
        return entry.size;
    }
    std::wstring folder = stagingPath.substr(0, stagingPath.find_last_of(L'\\') + 1);
    uint64_t free = 0;
    if (!freeBytesFor(folder, free)) {
        return UINT64_MAX;
    }
    uint64_t room = free > kDiskReserveBytes ? free - kDiskReserveBytes : 0;
    return room > UINT64_MAX - held ? UINT64_MAX : held + room;
}

// The staging file behind a bound, so that an endless body never fills the disk.
class BoundedSink : public BodySink {
public:
    BoundedSink(StagingFile& file, const ManifestFileEntry& entry, uint64_t bound)
        : file_(file), entry_(entry), bound_(bound)
    {
    }

    bool write(const unsigned char* data, size_t size, std::wstring& errorText) override
    {
        if (size > bound_ - file_.size() || file_.size() > bound_) {
            errorText = entry_.hasSize ? L"Serwer wysłał więcej niż " + sizeText(entry_.size) +
                                             L" podanych w manifeście dla pliku: " + entry_.name
                                       : L"Za mało miejsca na dysku, aby pobrać plik: " + entry_.name;
            return false;
        }
        return file_.write(data, size, errorText);
    }

private:
    StagingFile& file_;
    const ManifestFileEntry& entry_;
    uint64_t bound_;
};

struct ContentRange {
    uint64_t start = 0;
    uint64_t total = 0;
};

// "bytes <start>-<end>/<total>"
bool parseContentRange(const std::wstring& text, ContentRange& range)
{
    const std::wstring unit = L"bytes ";
    size_t dash = text.find(L'-');
    size_t slash = text.find(L'/');
    if (text.compare(0, unit.size(), unit) != 0 || dash == std::wstring::npos || slash == std::wstring::npos ||
        dash > slash) {
        return false;
    }
    return parseSizeText(text.substr(unit.size(), dash - unit.size()), range.start) &&
           parseSizeText(text.substr(slash + 1), range.total);
}

// One download with its continuations.
class EntryDownload {
public:
    EntryDownload(HttpSession& session, const ManifestFileEntry& entry, const std::wstring& stagingPath,
                  const AppFolder& appFolder, bool resume)
        : session_(session), entry_(entry), stagingPath_(stagingPath), appFolder_(appFolder), resume_(resume),
          file_(stagingPath, keptBytes()), progress_(entry.name)
    {
    }

    bool run(bool durable, std::wstring& errorText)
    {
        int continuations = 0;
        if (file_.size() > 0) {
            logContinuation();
        }
        for (;;) {
            uint64_t before = file_.size();
            bool retry = false;
            if (transfer(retry, errorText)) {
                return file_.finish(durable, errorText);
            }
            bool progressed = file_.size() > before || stale_;
            bool continuable = file_.size() == 0 || !note_.validator.empty();
            if (!resume_ || !retry || !progressed || !continuable || continuations == kMostContinuations) {
                return false;
            }
            Sleep(kPausesMs[continuations++]);
            logContinuation();
        }
    }

    void logContinuation()
    {
        appendLogLine(appFolder_, L"Wznawianie pobierania: " + entry_.name + L" od bajtu " +
                                      std::to_wstring(file_.size()));
    }

    // Keeps what arrived for the next run when it can be continued; otherwise nothing stays.
    void leaveAfterFailure()
    {
        file_.close();
        unsigned long ignored = 0;
        if (!resume_ || note_.validator.empty() || file_.size() == 0) {
            file_.discard();
            removeFile(resumeNotePath(stagingPath_), ignored);
        }
    }

private:
    // The bytes a previous run left that this entry may continue from.
    uint64_t keptBytes()
    {
        uint64_t length = 0;
        if (resume_ && readResumeNote(stagingPath_, note_) && noteFits(note_, entry_) &&
            fileLength(stagingPath_, length) && length < note_.total) {
            return length;
        }
        note_ = ResumeNote();
        return 0;
    }

    std::wstring rangeHeaders() const
    {
        if (file_.size() == 0) {
            return std::wstring();
        }
        return L"Range: bytes=" + std::to_wstring(file_.size()) + L"-\r\nIf-Range: " + note_.validator + L"\r\n";
    }

    // One request and its body; retry tells whether a failure is one a continuation may mend.
    bool transfer(bool& retry, std::wstring& errorText)
    {
        HttpRequest request;
        stale_ = false;
        if (!request.send(session_, entry_.url, rangeHeaders(), errorText)) {
            stale_ = GetLastError() == kStaleConnectionError;
            retry = stale_;
            return false;
        }
        if (!acceptAnswer(request, errorText)) {
            return false;
        }
        BoundedSink sink(file_, entry_, bodyBound(entry_, stagingPath_, file_.size()));
        BodyOutcome outcome = request.readBody(sink, errorText, &progress_, answerOffset_);
        retry = outcome == BodyOutcome::Broken;
        return outcome == BodyOutcome::Complete && endsAtSize(retry, errorText);
    }

    bool acceptAnswer(const HttpRequest& request, std::wstring& errorText)
    {
        ContentRange range;
        if (request.status() == 206 && file_.size() > 0 && parseContentRange(request.header(L"Content-Range"), range) &&
            range.start == file_.size() && range.total == note_.total) {
            answerOffset_ = file_.size();
            return true;
        }
        if (request.status() != 200) {
            errorText = L"Serwer zwrócił HTTP " + std::to_wstring(request.status()) + L" dla " + entry_.url;
            return false;
        }
        uint64_t length = request.announcedLength();
        if (entry_.hasSize && !request.header(L"Content-Length").empty() && length != entry_.size) {
            errorText = L"Serwer podał długość " + sizeText(length) + L" zamiast " + sizeText(entry_.size) +
                        L" podanych w manifeście dla pliku: " + entry_.name;
            return false;
        }
        file_.restartAt(0);
        answerOffset_ = 0;
        startNote(request, request.header(L"Content-Length").empty() ? entry_.size : length);
        return true;
    }

    // A fresh body: its validator is what a continuation must match, its length (or the manifest's size)
    // the total a continuation must name; with neither it cannot be continued.
    void startNote(const HttpRequest& request, uint64_t length)
    {
        if (!resume_) {
            // Such a build writes no note, so none lies there to replace; under Wine looking costs a scan.
            return;
        }
        note_ = ResumeNote{entry_.url, request.header(L"ETag"), length, toUpperAscii(entry_.sha256)};
        if (note_.validator.empty()) {
            note_.validator = request.header(L"Last-Modified");
        }
        if (length == 0) {
            note_.validator.clear();
        }
        unsigned long ignored = 0;
        if (note_.validator.empty() || !writeResumeNote(stagingPath_, note_)) {
            removeFile(resumeNotePath(stagingPath_), ignored);
            note_.validator.clear();
        }
    }

    bool endsAtSize(bool& retry, std::wstring& errorText)
    {
        if (!entry_.hasSize || file_.size() == entry_.size) {
            return true;
        }
        errorText = L"Serwer wysłał " + sizeText(file_.size()) + L" zamiast " + sizeText(entry_.size) +
                    L" podanych w manifeście dla pliku: " + entry_.name;
        retry = true;
        return false;
    }

    HttpSession& session_;
    const ManifestFileEntry& entry_;
    std::wstring stagingPath_;
    const AppFolder& appFolder_;
    bool resume_;
    ResumeNote note_;
    StagingFile file_;
    ConsoleProgress progress_;
    // Where the body of the current answer starts in the file.
    uint64_t answerOffset_ = 0;
    // The last request failed on a connection the server had closed while idle.
    bool stale_ = false;
};

}  // namespace

bool downloadEntry(HttpSession& session, const ManifestFileEntry& entry, const std::wstring& stagingPath,
                   const AppFolder& appFolder, bool durable, bool resume, std::wstring& errorText)
{
    EntryDownload download(session, entry, stagingPath, appFolder, resume);
    if (download.run(durable, errorText)) {
        return true;
    }
    download.leaveAfterFailure();
    return false;
}

}  // namespace ovan
