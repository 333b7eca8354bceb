#include "common/text.h"

#include <windows.h>

namespace ovan {

bool isWhiteSpace(wchar_t c)
{
    if (c < 0x100) {
        return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0;
    }
    WORD type = 0;
    return GetStringTypeW(CT_CTYPE1, &c, 1, &type) && (type & C1_SPACE) != 0;
}

std::wstring trimWhitespace(const std::wstring& text)
{
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && isWhiteSpace(text[begin])) {
        ++begin;
    }
    while (end > begin && isWhiteSpace(text[end - 1])) {
        --end;
    }
    return text.substr(begin, end - begin);
}

std::wstring toUpperAscii(std::wstring text)
{
    for (wchar_t& c : text) {
        if (c >= L'a' && c <= L'z') {
            c = static_cast<wchar_t>(c - L'a' + L'A');
        }
    }
    return text;
}

namespace {

bool isContinuation(unsigned char byte)
{
    return (byte & 0xC0) == 0x80;
}

// Length of the well-formed sequence at bytes[0], 0 when it is not well-formed.
size_t sequenceLength(const unsigned char* bytes, size_t available)
{
    unsigned char lead = bytes[0];
    if (lead < 0x80) {
        return 1;
    }
    size_t length;
    unsigned char secondMin = 0x80;
    unsigned char secondMax = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) {
            secondMin = 0xA0;  // overlong
        } else if (lead == 0xED) {
            secondMax = 0x9F;  // surrogates
        }
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) {
            secondMin = 0x90;  // overlong
        } else if (lead == 0xF4) {
            secondMax = 0x8F;  // above U+10FFFF
        }
    } else {
        return 0;
    }
    if (available < length || bytes[1] < secondMin || bytes[1] > secondMax) {
        return 0;
    }
    for (size_t i = 2; i < length; ++i) {
        if (!isContinuation(bytes[i])) {
            return 0;
        }
    }
    return length;
}

}  // namespace

bool isWellFormedUtf8(const unsigned char* bytes, size_t count)
{
    size_t position = 0;
    while (position < count) {
        size_t length = sequenceLength(bytes + position, count - position);
        if (length == 0) {
            return false;
        }
        position += length;
    }
    return true;
}

bool decodeUtf8(const unsigned char* bytes, size_t count, std::wstring& text)
{
    if (!isWellFormedUtf8(bytes, count)) {
        return false;
    }
    if (count == 0) {
        text.clear();
        return true;
    }
    const char* source = reinterpret_cast<const char*>(bytes);
    int length = MultiByteToWideChar(CP_UTF8, 0, source, static_cast<int>(count), nullptr, 0);
    std::wstring decoded(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, source, static_cast<int>(count), &decoded[0], length);
    text = std::move(decoded);
    return true;
}

std::string encodeUtf8(const std::wstring& text)
{
    if (text.empty()) {
        return std::string();
    }
    int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string encoded(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &encoded[0], length, nullptr, nullptr);
    return encoded;
}

std::wstring toCrLf(const std::wstring& text)
{
    std::wstring converted;
    converted.reserve(text.size() + 2);
    for (wchar_t c : text) {
        if (c == L'\n') {
            converted += L'\r';
        }
        converted += c;
    }
    return converted;
}

size_t utf8ContentOffset(const unsigned char* bytes, size_t count)
{
    return (count >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) ? 3 : 0;
}

}  // namespace ovan
