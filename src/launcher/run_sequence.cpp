#include "launcher/run_sequence.h"

#include "common/memory_guard.h"
#include "common/paths.h"
#include "common/scoped_handle.h"
#include "diagnostics/error_text.h"
#include "diagnostics/fatal_report.h"
#include "diagnostics/update_log.h"
#include "launcher/build_options.h"
#include "launcher/main_application.h"
#include "manifest/manifest_signature.h"
#include "manifest/update_manifest.h"
#include "transfer/http_get.h"
#include "update/installation_check.h"
#include "update/installed_record.h"
#include "update/interrupted_update.h"
#include "update/update_transaction.h"
#include "versions/local_version.h"
#include "versions/version_compare.h"

#include <windows.h>

#include <string>

namespace ovan {

namespace {

const wchar_t* const kNotStarted = L"Program nie zostanie uruchomiony.";
const wchar_t* const kInstalledStarts = L"Zostanie uruchomiona zainstalowana wersja programu.";

// What the user's proxy settings did goes to update.log.
class LogNotes : public RouteNotes {
public:
    explicit LogNotes(const AppFolder& appFolder) : appFolder_(appFolder) {}
    void note(const std::wstring& line) override { appendLogLine(appFolder_, line); }

private:
    const AppFolder& appFolder_;
};

// A step whose memory ran out fails like any other, so that no exception ever ends the process.
template <typename Step>
bool runStep(Step&& step, std::wstring& errorText)
{
    bool succeeded = false;
    if (!withinMemory([&] { succeeded = step(); })) {
        errorText = L"Za mało pamięci, aby dokończyć pracę launchera.";
        return false;
    }
    return succeeded;
}

// The paragraphs of a fatal text: what failed, what happens now, and why; empty ones are left out.
std::wstring fatalText(const std::wstring& heading, const std::wstring& consequence, const std::wstring& reason)
{
    std::wstring text = heading;
    for (const std::wstring* paragraph : {&consequence, &reason}) {
        if (!paragraph->empty()) {
            text += L"\n\n" + *paragraph;
        }
    }
    return text;
}

ExitCode startApplication(const AppFolder& appFolder)
{
    std::wstring errorText;
    appendLogLine(appFolder, L"Uruchamiam program główny");
    if (!runStep([&] { return startMainApplication(appFolder, errorText); }, errorText)) {
        reportFatal(appFolder, errorText);
        return ExitStartFailed;
    }
    appendLogLine(appFolder, L"Koniec pracy launchera");
    return ExitStarted;
}

// A failed check or update. With optional updates the installed version starts all the same, but only
// when its release is complete; the exit code tells what failed either way.
ExitCode failStep(const AppFolder& appFolder, const std::wstring& heading, const std::wstring& requiredConsequence,
                  const std::wstring& reason, ExitCode exitCode, bool releaseComplete = true)
{
    bool startInstalled = !kBuildOptions.updateRequired && releaseComplete && mainApplicationPresent(appFolder);
    reportFatal(appFolder, fatalText(heading, startInstalled ? kInstalledStarts : requiredConsequence, reason));
    if (!startInstalled) {
        return exitCode;
    }
    ExitCode started = startApplication(appFolder);
    return started == ExitStarted ? exitCode : started;
}

// Only a manifest signed by a built-in key is read at all; when it is not, exitCode is how the run ended.
bool signatureAccepted(HttpSession& session, const AppFolder& appFolder, const ByteBuffer& servedManifest,
                       std::wstring& errorText, ExitCode& exitCode)
{
    ByteBuffer signature;
    if (!runStep([&] { return fetchManifestSignature(session, kBuildOptions.manifestUrl, signature, errorText); },
                 errorText)) {
        exitCode = failStep(appFolder, L"Nie udało się pobrać podpisu manifestu aktualizacji.", L"", errorText,
                            ExitManifestNotFetched);
        return false;
    }
    std::wstring ignored;
    if (!runStep([&] { return isManifestSignedBy(servedManifest, signature, kBuildOptions.releasePublicKeys); },
                 ignored)) {
        exitCode = failStep(appFolder, L"Podpis manifestu aktualizacji jest niepoprawny.", L"", L"", ExitManifestInvalid);
        return false;
    }
    return true;
}

UpdateSettings updateSettings()
{
    UpdateSettings settings;
    settings.skipUnchanged = kBuildOptions.skipUnchanged;
    settings.keepsInstalledRecord = keepsInstalledRecord(kBuildOptions);
    settings.staging.durable = kBuildOptions.durableWrites;
    settings.staging.resume = kBuildOptions.resumeDownloads;
    settings.staging.compressed = kBuildOptions.compressedDownloads;
    settings.staging.deltas = kBuildOptions.deltaDownloads;
    return settings;
}

// An update or a repair, transaction(previousReleaseIntact) carrying it out: the application starts after it,
// and a failure is reported under the heading as the update policy says.
template <typename Transaction>
ExitCode install(const AppFolder& appFolder, Transaction&& transaction, const std::wstring& failureHeading,
                 const wchar_t* doneLine, std::wstring& errorText)
{
    bool previousReleaseIntact = true;
    if (!runStep([&] { return transaction(previousReleaseIntact); }, errorText)) {
        return failStep(appFolder, failureHeading, kNotStarted, errorText, ExitUpdateFailed, previousReleaseIntact);
    }
    appendLogLine(appFolder, doneLine);
    return startApplication(appFolder);
}

ExitCode update(HttpSession& session, const AppFolder& appFolder, const UpdateManifest& manifest,
                std::wstring& errorText)
{
    appendLogLine(appFolder, L"Wykryto nową wersję, rozpoczynam aktualizację");
    return install(
        appFolder,
        [&](bool& previousReleaseIntact) {
            return applyUpdate(session, manifest, appFolder, updateSettings(), previousReleaseIntact, errorText);
        },
        L"Jest dostępna nowa wersja programu (" + manifest.version + L"), ale aktualizacja nie powiodła się.",
        L"Aktualizacja zakończona pomyślnie", errorText);
}

// The installed version is the manifest's: its files are checked against the manifest, and those that differ
// fetched again. Nothing is logged when every file is intact.
ExitCode checkAndRepair(HttpSession& session, const AppFolder& appFolder, const UpdateManifest& manifest,
                        std::wstring& errorText)
{
    const std::wstring heading = L"Zainstalowana wersja programu (" + manifest.version +
                                 L") jest uszkodzona, a jej naprawa nie powiodła się.";
    InstallationCheck check;
    if (!runStep([&] {
            check = checkInstallation(manifest, appFolder, readInstalledRecord(appFolder), true);
            return true;
        },
                 errorText)) {
        return failStep(appFolder, heading, kNotStarted, errorText, ExitUpdateFailed);
    }
    if (check.complete) {
        // A record that no longer described the files would have them read again at every start.
        std::wstring ignored;
        if (check.hashed) {
            runStep([&] { writeInstalledRecord(appFolder, check.found, kBuildOptions.durableWrites); return true; },
                    ignored);
        }
        appendLogLine(appFolder, L"Wersja lokalna jest aktualna");
        return startApplication(appFolder);
    }
    appendLogLine(appFolder, L"Rozpoczynam naprawę instalacji");
    return install(
        appFolder,
        [&](bool& previousReleaseIntact) {
            return repairFiles(session, manifest, appFolder, updateSettings(), check.intact, previousReleaseIntact,
                               errorText);
        },
        heading, L"Naprawa zakończona pomyślnie", errorText);
}

// Everything after the lock: the handle outlives this call, so it is released last.
ExitCode runLocked(const AppFolder& appFolder)
{
    std::wstring errorText;
    appendLogLine(appFolder, L"Start launchera");

    if (!runStep([&] { return finishInterruptedUpdate(appFolder, keepsInstalledRecord(kBuildOptions), errorText); },
                 errorText)) {
        reportFatal(appFolder, fatalText(L"Nie udało się dokończyć przerwanej aktualizacji.", kNotStarted, errorText));
        return ExitUpdateFailed;
    }

    std::wstring localVersion;
    if (!runStep([&] { return readLocalVersion(appFolder, localVersion, errorText); }, errorText)) {
        reportFatal(appFolder, errorText);
        return ExitVersionUnknown;
    }
    appendLogLine(appFolder, L"Wersja lokalna: " + localVersion);

    LogNotes routeNotes(appFolder);
    SessionChoices choices;
    choices.keepForRun = kBuildOptions.keepConnection;
    choices.systemProxy = kBuildOptions.systemProxy;
    choices.wording = kBuildOptions.networkTexts ? ErrorWording::NetworkSentences : ErrorWording::CodeNumber;
    choices.windows = kBuildOptions.networkWindows;
    HttpSession session(choices, &routeNotes);
    std::wstring manifestText;
    ByteBuffer servedManifest;
    if (!runStep([&] { return fetchManifestText(session, kBuildOptions.manifestUrl, manifestText, errorText,
                                                &servedManifest); },
                 errorText)) {
        return failStep(appFolder, L"Nie udało się pobrać manifestu aktualizacji.", L"", errorText,
                        ExitManifestNotFetched);
    }
    appendLogLine(appFolder, L"Manifest pobrany");

    ExitCode signatureRefused = ExitManifestInvalid;
    if (*kBuildOptions.releasePublicKeys != L'\0' &&
        !signatureAccepted(session, appFolder, servedManifest, errorText, signatureRefused)) {
        return signatureRefused;
    }

    UpdateManifest manifest;
    std::wstring parseError;
    if (!runStep([&] { return parseManifest(manifestText, manifest); }, parseError)) {
        return failStep(appFolder, L"Manifest aktualizacji jest niepoprawny.", L"", parseError, ExitManifestInvalid);
    }
    appendLogLine(appFolder, L"Wersja z manifestu: " + manifest.version);

    if (isNewerVersion(manifest.version, localVersion)) {
        return update(session, appFolder, manifest, errorText);
    }
    // An older manifest repairs nothing: its files are not the installed version's.
    if (kBuildOptions.repairInstallation && !isNewerVersion(localVersion, manifest.version)) {
        return checkAndRepair(session, appFolder, manifest, errorText);
    }
    appendLogLine(appFolder, L"Wersja lokalna jest aktualna");
    return startApplication(appFolder);
}

}  // namespace

ExitCode runLauncher()
{
    AppFolder appFolder;
    unsigned long systemError = 0;
    if (!currentAppFolder(appFolder, systemError)) {
        // Without its own folder the launcher has no place it may write to, not even the log.
        showFatal(L"Nie udało się ustalić folderu programu aktualizacji.\n\n" + formatSystemError(systemError));
        return ExitStartFailed;
    }
    KernelHandle lock(CreateMutexW(nullptr, FALSE, L"OVANLauncherMutex"));
    if (!lock || GetLastError() == ERROR_ALREADY_EXISTS) {
        MessageBoxW(nullptr, L"Program aktualizacji jest już uruchomiony.", kMessageBoxCaption,
                    MB_OK | MB_ICONINFORMATION);
        return ExitAlreadyRunning;
    }
    return runLocked(appFolder);
}

}  // namespace ovan
