#pragma once

#include "common/paths.h"

#include <string>

namespace ovan {

// Whether the main application is there to be started.
bool mainApplicationPresent(const AppFolder& appFolder);

// Starts Pellaron.exe from the AppFolder with /start, without waiting for it.
bool startMainApplication(const AppFolder& appFolder, std::wstring& errorText);

}  // namespace ovan
