#pragma once

#include <string>
#include <vector>

namespace ovan {

// A value of a line-based record file: backslashes, tabs and line ends inside it are written as escapes, so
// that every line of the record holds whole values separated by tabs.
std::wstring escapeRecordValue(const std::wstring& value);

// False for an escape the writer never makes; value is then unspecified.
bool unescapeRecordValue(const std::wstring& text, std::wstring& value);

// The parts of text between separators; a text without one is a single part.
std::vector<std::wstring> splitText(const std::wstring& text, const std::wstring& separator);

}  // namespace ovan
