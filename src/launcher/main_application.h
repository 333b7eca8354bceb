#pragma once

#include "common/paths.h"

#include <string>

namespace ovan {

// Starts Pellaron.exe from the AppFolder with /start, without waiting for it.
bool startMainApplication(const AppFolder& appFolder, std::wstring& errorText);

}  // namespace ovan
