#include "publisher/launcher_choices.h"

#include "common/scoped_handle.h"
#include "common/text.h"
#include "diagnostics/error_text.h"

#include <windows.h>

namespace ovan {

namespace {

// The resource ovan_add_launcher puts into every launcher image.
const wchar_t* const kChoicesResource = L"OVAN_BUILD_CHOICES";

void splitLines(const std::wstring& text, LauncherChoices& choices)
{
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos) {
            end = text.size();
        }
        std::wstring line = text.substr(start, end - start);
        size_t equals = line.find(L'=');
        if (equals != std::wstring::npos) {
            choices.lines.emplace_back(line.substr(0, equals), line.substr(equals + 1));
        }
        start = end + 1;
    }
}

}  // namespace

std::wstring LauncherChoices::value(const std::wstring& name) const
{
    for (const auto& line : lines) {
        if (line.first == name) {
            return line.second;
        }
    }
    return std::wstring();
}

bool readLauncherChoices(const std::wstring& imagePath, LauncherChoices& choices, std::wstring& errorText)
{
    ModuleHandle image(
        LoadLibraryExW(imagePath.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    if (!image) {
        errorText = L"nie da się go odczytać jako programu Windows. " + formatSystemError(GetLastError());
        return false;
    }
    HRSRC found = FindResourceW(image.get(), kChoicesResource, RT_RCDATA);
    HGLOBAL loaded = found != nullptr ? LoadResource(image.get(), found) : nullptr;
    const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
    std::wstring text;
    if (bytes == nullptr ||
        !decodeUtf8(static_cast<const unsigned char*>(bytes), SizeofResource(image.get(), found), text)) {
        errorText = L"nie zawiera ustawień launchera (zasobu OVAN_BUILD_CHOICES); zbuduj launcher z obecnych źródeł";
        return false;
    }
    choices = LauncherChoices();
    splitLines(text, choices);
    return true;
}

}  // namespace ovan
