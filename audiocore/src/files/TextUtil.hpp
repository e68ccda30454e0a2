#pragma once
// Small text helpers for chunk identifiers and recorder metadata fields.

#include <cstdint>
#include <optional>
#include <string>

namespace corvaline::text {

/// `bytes` as valid UTF-8: every ill-formed sequence (each maximal invalid subpart) becomes
/// U+FFFD; valid text is returned unchanged.
std::string repairUtf8(const std::string& bytes);

/// `text` (valid UTF-8) without leading and trailing white space, line breaks and control
/// characters (NUL padding included).
std::string trimWhitespaceAndControls(const std::string& text);

/// A whole string read as a decimal integer: optional sign, then digits only (no spaces).
/// No value when it is anything else or does not fit in 64 bits.
std::optional<int64_t> parseDecimal(const std::string& text);

}  // namespace corvaline::text
