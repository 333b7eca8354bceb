#include "diagnostics/error_text.h"

#include "common/scoped_handle.h"
#include "common/text.h"
#include "diagnostics/network_texts.h"

#include <windows.h>

#include <cwchar>

namespace ovan {

std::wstring formatSystemError(unsigned long code, ErrorWording wording)
{
    wchar_t* buffer = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                  nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                  reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    LocalMemory owner(buffer);
    if (length != 0 && buffer != nullptr) {
        return trimWhitespace(std::wstring(buffer, length));
    }
    const wchar_t* sentence = wording == ErrorWording::NetworkSentences ? networkErrorSentence(code) : nullptr;
    if (sentence != nullptr) {
        return sentence;
    }
    wchar_t fallback[64] = {};
    swprintf(fallback, 64, L"kod błędu %lu", code);
    return trimWhitespace(fallback);
}

std::wstring pathNotExaminedText(const std::wstring& path, unsigned long code)
{
    return L"Nie udało się sprawdzić, czy istnieje: " + path + L"\n\n" + formatSystemError(code);
}

}  // namespace ovan
