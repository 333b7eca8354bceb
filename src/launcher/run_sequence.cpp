#include "launcher/run_sequence.h"

#include "common/paths.h"
#include "common/scoped_handle.h"
#include "diagnostics/fatal_report.h"
#include "diagnostics/update_log.h"
#include "launcher/build_options.h"
#include "launcher/main_application.h"
#include "manifest/update_manifest.h"
#include "update/update_transaction.h"
#include "versions/local_version.h"
#include "versions/version_compare.h"

#include <windows.h>

#include <string>

namespace ovan {

namespace {

// Everything after the lock: the handle outlives this call, so it is released last.
ExitCode runLocked(const AppFolder& appFolder)
{
    std::wstring errorText;
    appendLogLine(appFolder, L"Start launchera");

    std::wstring localVersion;
    if (!readLocalVersion(appFolder, localVersion, errorText)) {
        reportFatal(appFolder, errorText);
        return ExitVersionUnknown;
    }
    appendLogLine(appFolder, L"Wersja lokalna: " + localVersion);

    std::wstring manifestText;
    if (!fetchManifestText(kBuildOptions.manifestUrl, manifestText, errorText)) {
        reportFatal(appFolder, L"Nie udało się pobrać manifestu aktualizacji.\n\n" + errorText);
        return ExitManifestNotFetched;
    }
    appendLogLine(appFolder, L"Manifest pobrany");

    UpdateManifest manifest;
    if (!parseManifest(manifestText, manifest)) {
        reportFatal(appFolder, L"Manifest aktualizacji jest niepoprawny.");
        return ExitManifestInvalid;
    }
    appendLogLine(appFolder, L"Wersja z manifestu: " + manifest.version);

    if (isNewerVersion(manifest.version, localVersion)) {
        appendLogLine(appFolder, L"Wykryto nową wersję, rozpoczynam aktualizację");
        if (!applyUpdate(manifest, appFolder, errorText)) {
            reportFatal(appFolder, L"Jest dostępna nowa wersja programu (" + manifest.version +
                                       L"), ale aktualizacja nie powiodła się.\n\nProgram nie zostanie uruchomiony.\n\n" +
                                       errorText);
            return ExitUpdateFailed;
        }
        appendLogLine(appFolder, L"Aktualizacja zakończona pomyślnie");
    } else {
        appendLogLine(appFolder, L"Wersja lokalna jest aktualna");
    }

    appendLogLine(appFolder, L"Uruchamiam program główny");
    if (!startMainApplication(appFolder, errorText)) {
        reportFatal(appFolder, errorText);
        return ExitStartFailed;
    }
    appendLogLine(appFolder, L"Koniec pracy launchera");
    return ExitStarted;
}

}  // namespace

ExitCode runLauncher()
{
    AppFolder appFolder = currentAppFolder();
    KernelHandle lock(CreateMutexW(nullptr, FALSE, L"OVANLauncherMutex"));
    if (!lock || GetLastError() == ERROR_ALREADY_EXISTS) {
        MessageBoxW(nullptr, L"Program aktualizacji jest już uruchomiony.", kMessageBoxCaption,
                    MB_OK | MB_ICONINFORMATION);
        return ExitAlreadyRunning;
    }
    return runLocked(appFolder);
}

}  // namespace ovan
