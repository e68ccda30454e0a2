#include "TextUtil.hpp"

#include <limits>

namespace corvaline::text {
namespace {

constexpr const char* kReplacement = "\xEF\xBF\xBD";

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

std::string repairUtf8(const std::string& bytes) {
    std::string out;
    out.reserve(bytes.size());
    const size_t n = bytes.size();
    size_t i = 0;
    while (i < n) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        if (lead < 0x80) {
            out += char(lead);
            ++i;
            continue;
        }
        // Expected length and the valid range of the second byte (Unicode table 3-7).
        size_t need = 0;
        unsigned char lo = 0x80, hi = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            need = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            need = 3;
            if (lead == 0xE0) lo = 0xA0;
            if (lead == 0xED) hi = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            need = 4;
            if (lead == 0xF0) lo = 0x90;
            if (lead == 0xF4) hi = 0x8F;
        }
        if (need == 0) {
            out += kReplacement;
            ++i;
            continue;
        }
        size_t k = 1;
        while (k < need && i + k < n) {
            const auto next = static_cast<unsigned char>(bytes[i + k]);
            const unsigned char low = k == 1 ? lo : 0x80;
            const unsigned char high = k == 1 ? hi : 0xBF;
            if (next < low || next > high) break;
            ++k;
        }
        if (k == need) {
            out.append(bytes, i, need);
        } else {
            out += kReplacement;  // one replacement for the maximal invalid subpart
        }
        i += k;
    }
    return out;
}

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
