#pragma once

#include <string>

namespace ovan {

struct PackRequest {
    std::wstring releaseFolder;
    std::wstring version;
    std::wstring baseAddress;
    // The output folder to copy to the server as it is; in the flat layout, the manifest's path.
    std::wstring destination;
    // Every file at the base address plus its name, as the files of every release are addressed.
    bool flat = false;
    // Empty: no signature is written.
    std::wstring privateKeyPath;
    // The manifest address the release's own launcher must name; empty: the one this pack publishes at.
    // Another one is a deliberate move of the customers to a new address.
    std::wstring manifestAddress;
    // Patches are made from the versions each changed file had in this many earlier releases; 0: none.
    unsigned deltaReleases = 3;
};

// Writes a manifest for every file of a release folder that the launcher accepts as written and,
// unless flat, the folder the release is served from; refuses, naming the cause, whatever the launcher
// could not carry. Returns the exit code.
int packRelease(const PackRequest& request);

}  // namespace ovan
