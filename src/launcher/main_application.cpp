#include "launcher/main_application.h"

#include "common/brief_hold.h"
#include "common/scoped_handle.h"
#include "diagnostics/error_text.h"

#include <windows.h>

#include <vector>

namespace ovan {

namespace {

std::wstring mainApplicationPath(const AppFolder& appFolder)
{
    return joinPath(appFolder, L"Pellaron.exe");
}

// The platform may change the command line it is given, so each try gets a fresh copy.
bool createProcess(const std::wstring& commandLine, const AppFolder& appFolder, PROCESS_INFORMATION& processInfo)
{
    std::vector<wchar_t> writableCommandLine(commandLine.begin(), commandLine.end());
    writableCommandLine.push_back(L'\0');
    STARTUPINFOW startupInfo = {};
    startupInfo.cb = sizeof startupInfo;
    processInfo = PROCESS_INFORMATION();
    return CreateProcessW(nullptr, writableCommandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, appFolder.c_str(),
                          &startupInfo, &processInfo) != FALSE;
}

}  // namespace

bool mainApplicationPresent(const AppFolder& appFolder)
{
    unsigned long ignored = 0;
    return examinePath(mainApplicationPath(appFolder), ignored) == PathState::Present;
}

bool startMainApplication(const AppFolder& appFolder, std::wstring& errorText)
{
    std::wstring executablePath = mainApplicationPath(appFolder);
    unsigned long systemError = 0;
    switch (examinePath(executablePath, systemError)) {
    case PathState::Missing:
        errorText = L"Nie znaleziono programu głównego:\n" + executablePath;
        return false;
    case PathState::Unknown:
        errorText = pathNotExaminedText(executablePath, systemError);
        return false;
    case PathState::Present:
        break;
    }
    std::wstring commandLine = L"\"" + executablePath + L"\" /start";
    PROCESS_INFORMATION processInfo = {};
    unsigned long ignored = 0;
    // A scanner may still hold the executable that an update has just put in place.
    if (!waitOutBriefHold([&] { return createProcess(commandLine, appFolder, processInfo); }, ignored)) {
        errorText = L"Nie udało się uruchomić programu głównego.";
        return false;
    }
    // Declared in this order so that the thread handle is closed first.
    KernelHandle process(processInfo.hProcess);
    KernelHandle thread(processInfo.hThread);
    return true;
}

}  // namespace ovan
