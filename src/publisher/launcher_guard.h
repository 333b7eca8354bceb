#pragma once

#include "common/text.h"
#include "manifest/update_manifest.h"

#include <string>
#include <vector>

namespace ovan {

// The launcher updates itself, so one that looks for its manifest elsewhere or refuses the signature the
// maker uses reaches every customer and never updates again.
extern const wchar_t* const kLauncherFileName;

struct ShippedLauncherRules {
    // Where the launcher must look for its manifest.
    std::wstring manifestAddress;
    std::string manifestBytes;
    // Empty for an unsigned release.
    std::string signatureFile;
    std::wstring signingKey;
};

// Why the launcher at launcherPath would strand its users under these rules, as sentences; says what it carries.
std::vector<std::wstring> shippedLauncherProblems(const std::wstring& launcherPath, const ShippedLauncherRules& rules);

// check: prints what the release's launcher, found beside the manifest, carries; false when it would refuse
// the manifest's signature.
bool reportShippedLauncher(const std::wstring& manifestPath, const UpdateManifest& manifest);

}  // namespace ovan
