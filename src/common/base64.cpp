#include "common/base64.h"

#include <cstdint>

namespace ovan {

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int sextetOf(char c)
{
    for (int i = 0; i < 64; ++i) {
        if (kAlphabet[i] == c) {
            return i;
        }
    }
    return -1;
}

}  // namespace

std::string encodeBase64(const ByteBuffer& bytes)
{
    std::string text;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        size_t count = bytes.size() - i < 3 ? bytes.size() - i : 3;
        uint32_t group = static_cast<uint32_t>(bytes[i]) << 16;
        if (count > 1) {
            group |= static_cast<uint32_t>(bytes[i + 1]) << 8;
        }
        if (count > 2) {
            group |= bytes[i + 2];
        }
        for (size_t k = 0; k < 4; ++k) {
            text += k <= count ? kAlphabet[(group >> (18 - 6 * k)) & 0x3F] : '=';
        }
    }
    return text;
}

bool decodeBase64(const std::string& text, ByteBuffer& bytes)
{
    if (text.size() % 4 != 0) {
        return false;
    }
    size_t padding = 0;
    while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') {
        ++padding;
    }
    ByteBuffer decoded;
    uint32_t group = 0;
    for (size_t i = 0; i < text.size() - padding; ++i) {
        int sextet = sextetOf(text[i]);
        if (sextet < 0) {
            return false;
        }
        group = (group << 6) | static_cast<uint32_t>(sextet);
        if (i % 4 == 3) {
            decoded.push_back(static_cast<unsigned char>(group >> 16));
            decoded.push_back(static_cast<unsigned char>(group >> 8));
            decoded.push_back(static_cast<unsigned char>(group));
            group = 0;
        }
    }
    // The last group holds 12 or 18 bits for one or two bytes; the rest must be zero.
    if (padding == 2) {
        if ((group & 0x0F) != 0) {
            return false;
        }
        decoded.push_back(static_cast<unsigned char>(group >> 4));
    } else if (padding == 1) {
        if ((group & 0x03) != 0) {
            return false;
        }
        decoded.push_back(static_cast<unsigned char>(group >> 10));
        decoded.push_back(static_cast<unsigned char>(group >> 2));
    }
    bytes = decoded;
    return true;
}

}  // namespace ovan
