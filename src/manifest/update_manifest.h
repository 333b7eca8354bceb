#pragma once

#include "common/text.h"
#include "transfer/http_get.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ovan {

// The built-in address of the update manifest.
extern const wchar_t* const ManifestUrl;

// A patch that turns the file with sourceSha256 into the entry's file; sha256 and size are the patch's own.
struct ManifestDelta {
    std::wstring sourceSha256;
    std::wstring url;
    std::wstring sha256;
    uint64_t size = 0;
};

struct ManifestFileEntry {
    std::wstring name;
    std::wstring url;
    std::wstring sha256;
    // The file's length in bytes, when the manifest gives it.
    bool hasSize = false;
    uint64_t size = 0;
    // The address of a zlib-compressed copy of the file and the copy's length; empty when the release has none.
    std::wstring zlibUrl = std::wstring();
    uint64_t zlibSize = 0;
    // Patches from earlier versions of the file, from the manifest's "deltas" list.
    std::vector<ManifestDelta> deltas = std::vector<ManifestDelta>();
};

struct UpdateManifest {
    std::wstring version;
    std::vector<ManifestFileEntry> files;
};

// Downloads the manifest and decodes it strictly from UTF-8; servedBytes, when given, receives the body as served.
bool fetchManifestText(HttpSession& session, const std::wstring& address, std::wstring& text,
                       std::wstring& errorText, ByteBuffer* servedBytes = nullptr);

// The characters between the quotes of the first string value of "key"; no escapes decoded.
bool findStringValue(const std::wstring& source, const std::wstring& key, std::wstring& value);

// A "size" text: decimal digits only, within 64 bits.
bool parseSizeText(const std::wstring& text, uint64_t& size);

// A name that Windows takes for a device wherever it stands (CON, NUL, COM1, AUX.dll and the like).
bool isDeviceName(const std::wstring& name);

// A name the transaction may address inside the AppFolder: no folder part, drive, parent step or device.
bool isPlainFileName(const std::wstring& name);

// Two entry names that cannot stand in one manifest: the same file ignoring case, or one
// landing on the other's backup (name + ".old").
bool fileNamesClash(const std::wstring& a, const std::wstring& b);

// The name the launcher keeps for itself that an entry name would take or land on with its backup;
// null when the name is free.
const wchar_t* clashingWorkingName(const std::wstring& name);

// Why a manifest text is refused; the launcher only needs to know that it is.
enum class ManifestDefect {
    None,
    NoVersion,
    NoFilesKey,
    NoFileList,
    UnclosedObject,
    MissingField,
    EmptyField,
    NotPlainName,
    BadSize,
    NameClash,
    WorkingName,
    EmptyVersion,
    NoFiles,
};

// The scanner behind parseManifest; the entry that was refused, if any, is the one after
// manifest.files.
ManifestDefect scanManifest(const std::wstring& text, UpdateManifest& manifest);

bool parseManifest(const std::wstring& text, UpdateManifest& manifest);

}  // namespace ovan
