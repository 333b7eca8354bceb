#include "update/compressed_download.h"

#include "common/file_removal.h"
#include "transfer/inflating_sink.h"
#include "update/console_progress.h"
#include "update/entry_download.h"
#include "update/resume_note.h"
#include "update/staging_file.h"

namespace ovan {

namespace {

bool streamInflated(HttpSession& session, const ManifestFileEntry& entry, StagingFile& file, std::wstring& errorText)
{
    ConsoleProgress progress(entry.name);
    InflatingSink inflater(file, entry.size, entry.zlibSize, entry.name);
    return httpGet(session, entry.zlibUrl, inflater, errorText, &progress) && inflater.finish(errorText);
}

// The whole copy first, so that a cut transfer continues where it stopped; then the file from it.
bool fetchThenInflate(HttpSession& session, const ManifestFileEntry& entry, const std::wstring& stagingPath,
                      const AppFolder& appFolder, StagingFile& file, std::wstring& errorText)
{
    std::wstring copyPath = compressedStagingPath(parentPath(stagingPath), entry.name);
    if (!downloadEntry(session, compressedCopyOf(entry), copyPath, appFolder, false, true, errorText)) {
        return false;
    }
    bool inflated = inflateFileInto(copyPath, file, entry.size, entry.zlibSize, entry.name, errorText);
    unsigned long ignored = 0;
    removeFile(copyPath, ignored);
    removeFile(resumeNotePath(copyPath), ignored);
    return inflated;
}

}  // namespace

bool usesCompressedCopy(const ManifestFileEntry& entry)
{
    return !entry.zlibUrl.empty() && entry.hasSize;
}

ManifestFileEntry compressedCopyOf(const ManifestFileEntry& entry)
{
    ManifestFileEntry copy{entry.name, entry.zlibUrl, entry.sha256};
    copy.hasSize = true;
    copy.size = entry.zlibSize;
    return copy;
}

std::wstring compressedStagingPath(const std::wstring& stagingFolder, const std::wstring& name)
{
    return joinPath(stagingFolder, name + L".zlib");
}

bool downloadCompressed(HttpSession& session, const ManifestFileEntry& entry, const std::wstring& stagingPath,
                        const AppFolder& appFolder, bool durable, bool resume, std::wstring& errorText)
{
    // A note a plain download of this file left would name bytes this one does not write.
    if (resume) {
        unsigned long ignored = 0;
        removeFile(resumeNotePath(stagingPath), ignored);
    }
    StagingFile file(stagingPath);
    bool fetched = resume ? fetchThenInflate(session, entry, stagingPath, appFolder, file, errorText)
                          : streamInflated(session, entry, file, errorText);
    if (fetched && file.finish(durable, errorText)) {
        return true;
    }
    file.discard();
    return false;
}

}  // namespace ovan
