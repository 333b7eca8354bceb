#include "versions/version_compare.h"

#include "common/text.h"

#include <algorithm>
#include <cstdint>

namespace ovan {

namespace {

// The zero of every block of ten decimal digits that the platform runtime's wcstol reads with base 10;
// the digits of other scripts (N'Ko, Tamil, Vai and more) it takes for no digit, so neither do we.
const wchar_t kDigitZeros[] = {
    0x0030, 0x0660, 0x06F0, 0x0966, 0x09E6, 0x0A66, 0x0AE6, 0x0B66, 0x0C66,
    0x0CE6, 0x0D66, 0x0E50, 0x0ED0, 0x0F20, 0x1040, 0x17E0, 0x1810, 0xFF10,
};

// The digit value of c, or -1 when c is no decimal digit.
int digitValue(wchar_t c)
{
    for (wchar_t zero : kDigitZeros) {
        if (c >= zero && c < zero + 10) {
            return c - zero;
        }
    }
    return -1;
}

// The number at the start of a part, as the standard wide conversion with base 10 reads it.
int32_t partNumber(const std::wstring& part)
{
    size_t position = 0;
    while (position < part.size() && isWhiteSpace(part[position])) {
        ++position;
    }
    bool negative = false;
    if (position < part.size() && (part[position] == L'+' || part[position] == L'-')) {
        negative = part[position] == L'-';
        ++position;
    }
    const int64_t limit = negative ? -static_cast<int64_t>(INT32_MIN) : INT32_MAX;
    int64_t magnitude = 0;
    for (; position < part.size(); ++position) {
        int digit = digitValue(part[position]);
        if (digit < 0) {
            break;
        }
        magnitude = std::min<int64_t>(magnitude * 10 + digit, limit);
    }
    return static_cast<int32_t>(negative ? -magnitude : magnitude);
}

}  // namespace

std::vector<int32_t> splitVersion(const std::wstring& version)
{
    std::vector<int32_t> numbers;
    size_t start = 0;
    for (;;) {
        size_t dot = version.find(L'.', start);
        std::wstring part = version.substr(start, dot == std::wstring::npos ? std::wstring::npos : dot - start);
        numbers.push_back(part.empty() ? 0 : partNumber(part));
        if (dot == std::wstring::npos) {
            return numbers;
        }
        start = dot + 1;
    }
}

bool isNewerVersion(const std::wstring& manifestVersion, const std::wstring& localVersion)
{
    std::vector<int32_t> manifestNumbers = splitVersion(manifestVersion);
    std::vector<int32_t> localNumbers = splitVersion(localVersion);
    size_t length = std::max(manifestNumbers.size(), localNumbers.size());
    manifestNumbers.resize(length, 0);
    localNumbers.resize(length, 0);
    return std::lexicographical_compare(localNumbers.begin(), localNumbers.end(), manifestNumbers.begin(),
                                        manifestNumbers.end());
}

}  // namespace ovan
