#pragma once

#include "common/paths.h"

#include <string>

namespace ovan {

extern const wchar_t* const kMessageBoxCaption;

// Writes the whole text and a line end to a standard stream (STD_OUTPUT_HANDLE, STD_ERROR_HANDLE):
// UTF-16 to a console, UTF-8 bytes with CR LF line ends otherwise.
void writeStandardLine(unsigned long standardHandle, const std::wstring& text);

void writeStandardError(const std::wstring& text);

// The error box and the copy on standard error, for a failure that has no AppFolder to log in.
void showFatal(const std::wstring& text);

// The one exit of every fatal failure: log line, error box, copy on standard error.
void reportFatal(const AppFolder& appFolder, const std::wstring& text);

}  // namespace ovan
