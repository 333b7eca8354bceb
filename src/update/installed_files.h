#pragma once

#include "update/installed_record.h"

#include <string>

namespace ovan {

enum class InstalledState { Missing, NotAFile, Unreadable, Read };

struct InstalledDigest {
    InstalledState state = InstalledState::Unreadable;
    // Upper-case hexadecimal; set only when Read.
    std::wstring sha256;
    // What the file was before it was read: what a record written now would keep beside the digest.
    FileStamp stamp;
    // The digest was computed from the file, the record having none that holds.
    bool hashed = false;
};

// The digest of the installed file at path, listed under name: the record's while the file's size and last
// write time are exactly those recorded, otherwise the SHA-256 of its bytes.
InstalledDigest installedFileDigest(const InstalledRecord& record, const std::wstring& name, const std::wstring& path);

// The size and last write time of a file; false when path holds no file or cannot be examined.
bool readFileStamp(const std::wstring& path, FileStamp& stamp);

}  // namespace ovan
