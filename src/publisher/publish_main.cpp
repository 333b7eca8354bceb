// OVANPublish: writes and checks update manifests with the launcher's own parser and digest code.
#include "diagnostics/fatal_report.h"
#include "publisher/manifest_check.h"
#include "publisher/release_pack.h"

#include <string>

namespace {

const wchar_t* const kUsage =
    L"Użycie:\n"
    L"  OVANPublish.exe pack <folder wydania> <wersja> <adres bazowy> <ścieżka manifestu>\n"
    L"  OVANPublish.exe check <ścieżka manifestu> [<zainstalowana wersja>]";

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"pack" && argc == 6) {
        return ovan::packRelease(argv[2], argv[3], argv[4], argv[5]);
    }
    if (command == L"check" && (argc == 3 || argc == 4)) {
        return ovan::checkManifest(argv[2], argc == 4 ? argv[3] : L"");
    }
    ovan::writeStandardError(kUsage);
    return 2;
}
