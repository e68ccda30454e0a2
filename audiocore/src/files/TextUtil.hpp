#pragma once
// Small text helpers for chunk identifiers and recorder metadata fields.

#include <cstdint>
#include <optional>
#include <string>

namespace corvaline::text {

/// `text` (valid UTF-8, see repairUtf8 in audiocore/platform/Process.hpp) without leading and
/// trailing white space, line breaks and control characters (NUL padding included).
std::string trimWhitespaceAndControls(const std::string& text);

/// A whole string read as a decimal integer: optional sign, then digits only (no spaces).
/// No value when it is anything else or does not fit in 64 bits.
std::optional<int64_t> parseDecimal(const std::string& text);

}  // namespace corvaline::text
