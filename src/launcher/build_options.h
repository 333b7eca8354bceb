#pragma once

#include "transfer/network_windows.h"

namespace ovan {

// What a maker chooses when building the launcher; each launcher executable carries its own.
struct BuildOptions {
    // The address of the update manifest.
    const wchar_t* manifestUrl;
    // Public keys whose signature a manifest must carry, blank-separated; empty: no signature is asked for.
    const wchar_t* releasePublicKeys;
    // A failed check or update blocks the start; when false, the installed version starts if it is complete.
    bool updateRequired;
    // Files whose installed copy already has the manifest's digest are neither downloaded nor moved.
    bool skipUnchanged;
    // One WinHTTP session for the whole run, so that connections can be reused.
    bool keepConnection;
    // Each address goes out the way the user's Windows internet settings say: a proxy, a PAC script, a bypass list.
    bool systemProxy;
    // Network failures the system has no text for are told in the launcher's own Polish sentences.
    bool networkTexts;
    // Files with a compressed copy in the manifest are fetched through it and inflated as they arrive.
    bool compressedDownloads;
    // Files whose installed version has a patch in the manifest are fetched as that patch, applied to it.
    bool deltaDownloads;
    // Staged files, the transaction record and current.txt are flushed to disk (off only for the benchmark).
    bool durableWrites;
    // A broken transfer is continued with a range request, within the run and in the next run.
    bool resumeDownloads;
    // A start that finds the installed version current checks its files and fetches again those that differ.
    bool repairInstallation;
    // How long downloads wait on a slow server; test builds shorten them to reach each limit quickly.
    NetworkWindows networkWindows;
};

extern const BuildOptions kBuildOptions;

// The choices that need the record of the installed files, to know a file unchanged without reading it; a build
// with none of them never writes it.
inline bool keepsInstalledRecord(const BuildOptions& options)
{
    return options.skipUnchanged || options.repairInstallation || options.deltaDownloads;
}

}  // namespace ovan
