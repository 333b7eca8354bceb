#pragma once

#include <string>
#include <utility>
#include <vector>

namespace ovan {

// The choices a launcher was built with, as its image carries them: one NAME=value line each, named
// like the CMake options (OVAN_MANIFEST_URL, OVAN_RELEASE_PUBLIC_KEYS, OVAN_SKIP_UNCHANGED=ON, ...).
struct LauncherChoices {
    std::vector<std::pair<std::wstring, std::wstring>> lines;

    // The value of a name; empty when the image does not carry it.
    std::wstring value(const std::wstring& name) const;
};

// Reads the choices from the image's resource with the platform's resource functions; the image is
// mapped as data and never run.
bool readLauncherChoices(const std::wstring& imagePath, LauncherChoices& choices, std::wstring& errorText);

}  // namespace ovan
