#include "TextUtil.hpp"

#include <limits>

namespace corvaline::text {
namespace {

// Decodes the code point starting at `i` of valid UTF-8 and returns its length in bytes.
size_t decodeAt(const std::string& s, size_t i, char32_t& cp) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char lead = b(i);
    if (lead < 0x80) {
        cp = lead;
        return 1;
    }
    if (lead < 0xE0) {
        cp = char32_t(lead & 0x1F) << 6 | (b(i + 1) & 0x3F);
        return 2;
    }
    if (lead < 0xF0) {
        cp = char32_t(lead & 0x0F) << 12 | char32_t(b(i + 1) & 0x3F) << 6 | (b(i + 2) & 0x3F);
        return 3;
    }
    cp = char32_t(lead & 0x07) << 18 | char32_t(b(i + 1) & 0x3F) << 12 |
         char32_t(b(i + 2) & 0x3F) << 6 | (b(i + 3) & 0x3F);
    return 4;
}

bool isWhitespaceOrControl(char32_t cp) {
    if (cp <= 0x20 || (cp >= 0x7F && cp <= 0xA0)) return true;  // C0, space, DEL, C1, NBSP
    switch (cp) {
        case 0x1680:
        case 0x2028:
        case 0x2029:
        case 0x202F:
        case 0x205F:
        case 0x3000:
            return true;
        default:
            return cp >= 0x2000 && cp <= 0x200A;
    }
}

}  // namespace

std::string trimWhitespaceAndControls(const std::string& text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end) {
        char32_t cp = 0;
        const size_t len = decodeAt(text, begin, cp);
        if (!isWhitespaceOrControl(cp)) break;
        begin += len;
    }
    while (end > begin) {
        size_t start = end - 1;
        while (start > begin && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) {
            --start;
        }
        char32_t cp = 0;
        decodeAt(text, start, cp);
        if (!isWhitespaceOrControl(cp)) break;
        end = start;
    }
    return text.substr(begin, end - begin);
}

std::optional<int64_t> parseDecimal(const std::string& text) {
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i == text.size()) return std::nullopt;
    // Accumulate as a negative number so that the most negative value fits.
    int64_t value = 0;
    constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
    for (; i < text.size(); ++i) {
        const char ch = text[i];
        if (ch < '0' || ch > '9') return std::nullopt;
        const int digit = ch - '0';
        if (value < (kMin + digit) / 10) return std::nullopt;
        value = value * 10 - digit;
    }
    if (!negative) {
        if (value == kMin) return std::nullopt;
        return -value;
    }
    return value;
}

}  // namespace corvaline::text
