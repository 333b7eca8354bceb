#pragma once

#include "common/paths.h"

#include <string>

namespace ovan {

// The bytes of one entry: "[" timestamp "] " message CR LF, every line feed of the
// message stored as CR LF and every character from U+0080 on as UTF-8.
std::string formatLogEntry(const std::wstring& timestamp, const std::wstring& message);

// The local time as "YYYY-MM-DD hh:mm:ss".
std::wstring currentTimestamp();

// Appends one entry to update.log in the AppFolder; an entry that cannot be written is lost silently.
void appendLogLine(const AppFolder& appFolder, const std::wstring& message);

}  // namespace ovan
