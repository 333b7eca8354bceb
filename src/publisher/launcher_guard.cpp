#include "publisher/launcher_guard.h"

#include "common/paths.h"
#include "diagnostics/fatal_report.h"
#include "manifest/manifest_signature.h"
#include "publisher/launcher_choices.h"
#include "publisher/release_rules.h"
#include "publisher/release_signing.h"
#include "transfer/sha256_file.h"

#include <windows.h>

namespace ovan {

const wchar_t* const kLauncherFileName = L"OVANLauncher.exe";

namespace {

const wchar_t* const kKeysChoice = L"OVAN_RELEASE_PUBLIC_KEYS";
const wchar_t* const kStranded = L"; klienci, którzy go zainstalują, nie dostaną kolejnych aktualizacji";

void say(const std::wstring& text)
{
    writeStandardLine(STD_OUTPUT_HANDLE, text);
}

void showChoices(const std::wstring& launcherPath, const LauncherChoices& choices)
{
    say(L"Ustawienia wbudowane w " + launcherPath + L":");
    for (const auto& line : choices.lines) {
        say(L"  " + line.first + L"=" + line.second);
    }
}

ByteBuffer bytesOf(const std::string& text)
{
    return ByteBuffer(text.begin(), text.end());
}

std::wstring signatureProblem(const std::wstring& keys, const ShippedLauncherRules& rules)
{
    if (rules.signatureFile.empty()) {
        if (!keys.empty()) {
            say(L"UWAGA: " + std::wstring(kLauncherFileName) +
                L" przyjmuje tylko podpisane manifesty; podpisuj kolejne wydania (--sign)");
        }
        return std::wstring();
    }
    if (keys.empty()) {
        say(L"UWAGA: " + std::wstring(kLauncherFileName) + L" nie sprawdza podpisów (zbudowany bez " + kKeysChoice + L")");
        return std::wstring();
    }
    if (isManifestSignedBy(bytesOf(rules.manifestBytes), bytesOf(rules.signatureFile), keys)) {
        return std::wstring();
    }
    return L"launcher nie przyjmie podpisu tego wydania: jego klucze publiczne (" + keys + L") nie obejmują klucza " +
           rules.signingKey + L", którym podpisano manifest" + kStranded;
}

// Where the release layout or the flat layout beside the manifest keeps the file of an entry.
bool findListedFile(const std::wstring& manifestPath, const ManifestFileEntry& entry, std::wstring& path)
{
    std::wstring folder = parentPath(manifestPath);
    for (const std::wstring& candidate :
         {joinPath(layoutFolder(folder, entry.sha256), entry.name), joinPath(folder, entry.name)}) {
        std::wstring digest;
        if (sha256FileHex(candidate, digest) && digest == entry.sha256) {
            path = candidate;
            return true;
        }
    }
    return false;
}

}  // namespace

std::vector<std::wstring> shippedLauncherProblems(const std::wstring& launcherPath, const ShippedLauncherRules& rules)
{
    LauncherChoices choices;
    std::wstring errorText;
    if (!readLauncherChoices(launcherPath, choices, errorText)) {
        return {errorText};
    }
    showChoices(launcherPath, choices);
    std::vector<std::wstring> problems;
    std::wstring address = choices.value(L"OVAN_MANIFEST_URL");
    if (address != rules.manifestAddress) {
        problems.push_back(L"launcher pobiera manifest z adresu " + address + L" zamiast " + rules.manifestAddress +
                           kStranded + L" (zamierzoną zmianę adresu potwierdź opcją --manifest-address " + address +
                           L")");
    }
    std::wstring signature = signatureProblem(choices.value(kKeysChoice), rules);
    if (!signature.empty()) {
        problems.push_back(signature);
    }
    return problems;
}

bool reportShippedLauncher(const std::wstring& manifestPath, const UpdateManifest& manifest)
{
    for (const ManifestFileEntry& entry : manifest.files) {
        if (!sameFileName(entry.name, kLauncherFileName)) {
            continue;
        }
        std::wstring path;
        LauncherChoices choices;
        std::wstring errorText;
        if (!findListedFile(manifestPath, entry, path)) {
            say(L"UWAGA: obok manifestu nie ma pliku " + entry.name + L" z tym SHA-256; jego ustawień nie sprawdzono");
            return true;
        }
        if (!readLauncherChoices(path, choices, errorText)) {
            say(L"BŁĄD: " + path + L": " + errorText);
            return false;
        }
        showChoices(path, choices);
        std::wstring keys = choices.value(kKeysChoice);
        return keys.empty() || reportSignature(manifestPath, keys);
    }
    return true;
}

}  // namespace ovan
