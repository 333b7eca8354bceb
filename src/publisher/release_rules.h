#pragma once

#include <string>
#include <vector>

namespace ovan {

// What a release must keep so that the launcher's manifest scanner carries it unchanged.
// Each function returns the problems it finds, as sentences; none means the text is fine.

std::vector<std::wstring> fileNameProblems(const std::wstring& name);

// Why a release file may not carry a name that the launcher uses itself in the AppFolder;
// empty when the name is free.
std::wstring workingNameProblem(const std::wstring& name);

std::vector<std::wstring> versionProblems(const std::wstring& version);

std::vector<std::wstring> addressProblems(const std::wstring& address);

// 64 hexadecimal digits, in either case.
bool isSha256Text(const std::wstring& digest);

// The address of a file under a base address: one slash between them, the name percent-encoded.
std::wstring fileAddress(const std::wstring& baseAddress, const std::wstring& name);

// Where the release layout puts a file: under the base address, "files", its digest, its name. No later
// release reuses the address for other bytes, so a cache that still holds an older file never serves it here.
std::wstring contentAddress(const std::wstring& baseAddress, const std::wstring& sha256, const std::wstring& name);

// The folder of the release layout, relative to its root, that holds the compressed copies of the files with
// this digest: beside the digest's own folder, so no name of a release file can land on a copy.
std::wstring compressedFolder(const std::wstring& sha256);

// The folder of the release layout rooted at root (the folder of its manifest) that holds digestFolder.
std::wstring layoutFolder(const std::wstring& root, const std::wstring& digestFolder);

// Where the release layout puts a file's compressed copy: under the base address, "files", compressedFolder,
// its name.
std::wstring compressedAddress(const std::wstring& baseAddress, const std::wstring& sha256, const std::wstring& name);

}  // namespace ovan
