#pragma once

namespace ovan {

enum ExitCode : int {
    ExitStarted = 0,
    ExitVersionUnknown = 1,
    ExitManifestNotFetched = 2,
    ExitManifestInvalid = 3,
    ExitUpdateFailed = 4,
    ExitStartFailed = 5,
    ExitAlreadyRunning = 10,
};

// The whole life of the launcher, from the lock to the exit code.
ExitCode runLauncher();

}  // namespace ovan
