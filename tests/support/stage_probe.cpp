// Runs stageFile on one entry so that its texts and disk effects can be checked from outside.
//   stage_probe <name> <url> <sha256> <staging path> <appfolder>
// Prints errorText (UTF-8) to standard output; exit code 0 when stageFile succeeded, 1 when it
// failed, 2 on wrong usage. errorText starts as a sentinel so that an untouched text shows.
#include "common/text.h"
#include "update/stage_file.h"

#include <windows.h>

#include <string>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 6) {
        return 2;
    }
    ovan::ManifestFileEntry entry;
    entry.name = argv[1];
    entry.url = argv[2];
    entry.sha256 = argv[3];
    std::wstring stagingPath = argv[4];
    ovan::AppFolder appFolder = argv[5];

    std::wstring errorText = L"<bez zmian>";
    ovan::HttpSession session(false);
    bool staged = ovan::stageFile(session, entry, stagingPath, appFolder, errorText);

    std::string bytes = ovan::encodeUtf8(errorText);
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    return staged ? 0 : 1;
}
