#pragma once

#include "common/paths.h"
#include "common/text.h"

#include <cstdint>
#include <map>
#include <string>

namespace ovan {

// What an installed file was when its digest was known: a digest holds only while both are unchanged.
struct FileStamp {
    uint64_t size = 0;
    // The last write time as the platform keeps it (100 ns units since 1601).
    uint64_t lastWriteTime = 0;
};

inline bool operator==(const FileStamp& a, const FileStamp& b)
{
    return a.size == b.size && a.lastWriteTime == b.lastWriteTime;
}

struct RecordedFile {
    FileStamp stamp;
    // 64 upper-case hexadecimal digits.
    std::wstring sha256;
};

// The record of the installed files, by name as the manifest spells it.
using InstalledRecord = std::map<std::wstring, RecordedFile>;

// The record's bytes: a header line, then one line per file, UTF-8 with CR LF line ends.
std::string installedRecordBytes(const InstalledRecord& record);

// False, with the record empty, for anything the writer would not have written: such a record is not used at all.
bool parseInstalledRecord(const ByteBuffer& bytes, InstalledRecord& record);

// The record in the AppFolder; a missing, unreadable or damaged one reads as empty, so every file is hashed.
InstalledRecord readInstalledRecord(const AppFolder& appFolder);

// Writes the record's draft beside it, flushed when durable; placeInstalledRecord moves it over the record.
bool draftInstalledRecord(const AppFolder& appFolder, const InstalledRecord& record, bool durable);

// Moves the draft over the record; when that fails the draft is removed and the old record stays.
void placeInstalledRecord(const AppFolder& appFolder);

void discardInstalledRecordDraft(const AppFolder& appFolder);

// Both steps at once, where nothing happens between them.
void writeInstalledRecord(const AppFolder& appFolder, const InstalledRecord& record, bool durable);

}  // namespace ovan
