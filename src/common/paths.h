#pragma once

#include <string>

namespace ovan {

// The folder of the launcher's executable; every file it touches is addressed from here.
using AppFolder = std::wstring;

bool isPathSeparator(wchar_t c);

// One backslash between the parts, none when the left part already ends in a separator.
std::wstring joinPath(const std::wstring& left, const std::wstring& right);

// The path without its last element and the separators before it; a root keeps its separator.
std::wstring parentPath(const std::wstring& path);

// The last element of a path.
std::wstring lastPathElement(const std::wstring& path);

// Two names of one file on this platform: equal ignoring letter case.
bool sameFileName(const std::wstring& a, const std::wstring& b);

// The folder of the running executable, from its whole path however long; false, with the code in
// systemError, when the system does not give that path.
bool currentAppFolder(AppFolder& appFolder, unsigned long& systemError);

enum class PathState { Missing, Present, Unknown };

// Existence test that never fails abnormally: Unknown when the system refuses to tell,
// with the code in systemError.
PathState examinePath(const std::wstring& path, unsigned long& systemError);

}  // namespace ovan
