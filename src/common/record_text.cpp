#include "common/record_text.h"

namespace ovan {

std::wstring escapeRecordValue(const std::wstring& value)
{
    std::wstring text;
    for (wchar_t c : value) {
        switch (c) {
        case L'\\': text += L"\\\\"; break;
        case L'\t': text += L"\\t"; break;
        case L'\r': text += L"\\r"; break;
        case L'\n': text += L"\\n"; break;
        default: text += c;
        }
    }
    return text;
}

bool unescapeRecordValue(const std::wstring& text, std::wstring& value)
{
    value.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != L'\\') {
            value += text[i];
            continue;
        }
        if (++i == text.size()) {
            return false;
        }
        switch (text[i]) {
        case L'\\': value += L'\\'; break;
        case L't': value += L'\t'; break;
        case L'r': value += L'\r'; break;
        case L'n': value += L'\n'; break;
        default: return false;
        }
    }
    return true;
}

std::vector<std::wstring> splitText(const std::wstring& text, const std::wstring& separator)
{
    std::vector<std::wstring> parts;
    for (size_t start = 0;;) {
        size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start));
        if (end == std::wstring::npos) {
            return parts;
        }
        start = end + separator.size();
    }
}

}  // namespace ovan
