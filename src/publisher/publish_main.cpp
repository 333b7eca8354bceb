// OVANPublish: writes, signs and checks update manifests with the launcher's own parser, digest and
// signature code.
#include "diagnostics/fatal_report.h"
#include "publisher/manifest_check.h"
#include "publisher/release_pack.h"
#include "publisher/release_signing.h"

#include <optional>
#include <string>
#include <vector>

namespace {

const wchar_t* const kUsage =
    L"Użycie:\n"
    L"  OVANPublish.exe pack <folder wydania> <wersja> <adres bazowy> <folder wyjściowy> [--sign <plik klucza prywatnego>] [--manifest-address <adres>] [--delta-releases <liczba>]\n"
    L"  OVANPublish.exe pack --flat <folder wydania> <wersja> <adres bazowy> <ścieżka manifestu> [--sign <plik klucza prywatnego>] [--manifest-address <adres>]\n"
    L"  OVANPublish.exe check <ścieżka manifestu> [<zainstalowana wersja>] [--public-key \"<klucz publiczny> [<drugi klucz>]\"]\n"
    L"  OVANPublish.exe keygen <plik klucza prywatnego>";

// The words of a command line after the command: options by name, the rest in order.
struct Arguments {
    std::vector<std::wstring> positional;
    bool flat = false;
    std::optional<std::wstring> sign;
    std::optional<std::wstring> publicKey;
    std::optional<std::wstring> manifestAddress;
    std::optional<std::wstring> deltaReleases;
};

bool takeValue(int& i, int argc, wchar_t** argv, std::optional<std::wstring>& value)
{
    if (i + 1 >= argc || value) {
        return false;
    }
    value = argv[++i];
    return true;
}

bool parseArguments(int argc, wchar_t** argv, Arguments& arguments)
{
    for (int i = 2; i < argc; ++i) {
        std::wstring word = argv[i];
        if (word == L"--flat") {
            arguments.flat = true;
        } else if (word == L"--sign") {
            if (!takeValue(i, argc, argv, arguments.sign)) {
                return false;
            }
        } else if (word == L"--manifest-address") {
            if (!takeValue(i, argc, argv, arguments.manifestAddress)) {
                return false;
            }
        } else if (word == L"--delta-releases") {
            if (!takeValue(i, argc, argv, arguments.deltaReleases)) {
                return false;
            }
        } else if (word == L"--public-key") {
            if (!takeValue(i, argc, argv, arguments.publicKey)) {
                return false;
            }
        } else {
            arguments.positional.push_back(word);
        }
    }
    return true;
}

// A count of releases: a few decimal digits.
bool parseCount(const std::optional<std::wstring>& text, unsigned& count)
{
    if (!text) {
        return true;
    }
    if (text->empty() || text->size() > 3 || text->find_first_not_of(L"0123456789") != std::wstring::npos) {
        return false;
    }
    count = static_cast<unsigned>(std::stoul(*text));
    return true;
}

int run(const std::wstring& command, const Arguments& a)
{
    const std::vector<std::wstring>& words = a.positional;
    ovan::PackRequest pack;
    if (command == L"pack" && words.size() == 4 && !a.publicKey && parseCount(a.deltaReleases, pack.deltaReleases) &&
        !(a.flat && a.deltaReleases)) {
        pack = {words[0], words[1], words[2], words[3], a.flat, a.sign.value_or(L""), a.manifestAddress.value_or(L""),
                pack.deltaReleases};
        return ovan::packRelease(pack);
    }
    if (a.deltaReleases) {
        ovan::writeStandardError(kUsage);
        return 2;
    }
    if (command == L"check" && (words.size() == 1 || words.size() == 2) && !a.flat && !a.sign && !a.manifestAddress) {
        return ovan::checkManifest(words[0], words.size() == 2 ? words[1] : L"", a.publicKey);
    }
    if (command == L"keygen" && words.size() == 1 && !a.flat && !a.sign && !a.publicKey && !a.manifestAddress) {
        return ovan::generateKeyFile(words[0]);
    }
    ovan::writeStandardError(kUsage);
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    Arguments arguments;
    if (argc < 2 || !parseArguments(argc, argv, arguments)) {
        ovan::writeStandardError(kUsage);
        return 2;
    }
    return run(argv[1], arguments);
}
