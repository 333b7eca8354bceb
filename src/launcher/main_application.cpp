#include "launcher/main_application.h"

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
    std::vector<wchar_t> writableCommandLine(commandLine.begin(), commandLine.end());
    writableCommandLine.push_back(L'\0');
    STARTUPINFOW startupInfo = {};
    startupInfo.cb = sizeof startupInfo;
    PROCESS_INFORMATION processInfo = {};
    if (!CreateProcessW(nullptr, writableCommandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, appFolder.c_str(),
                        &startupInfo, &processInfo)) {
        errorText = L"Nie udało się uruchomić programu głównego.";
        return false;
    }
    // Declared in this order so that the thread handle is closed first.
    KernelHandle process(processInfo.hProcess);
    KernelHandle thread(processInfo.hThread);
    return true;
}

}  // namespace ovan
