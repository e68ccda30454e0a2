#pragma once
// ProcessingSettings as JSON, for settings files and batch work.
//
// The object uses the record's field names. Enumerations are written by their raw values
// ("High-pass", "Standard", "Interview Automix"); eqBands is an array of band objects
// {id, enabled, kind, frequency, gain, q}. Decoding starts from a base value (the defaults or a
// preset): a field missing from the object keeps the base value, and a band object replaces the
// band with the same id, keeping that band's missing fields. Unknown fields, wrong types and
// values outside the inspector's control ranges are refused with a SettingsError naming the
// field.

#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "audiocore/model/ProcessingSettings.hpp"

namespace corvaline {

/// A settings document or assignment that cannot be applied; what() names the field.
class SettingsError : public std::invalid_argument {
  public:
    using std::invalid_argument::invalid_argument;
};

namespace SettingsJSON {

/// Every field of `settings`, in declaration order.
nlohmann::json toJSON(const ProcessingSettings& settings);

/// `base` with the fields of `object` applied. Throws SettingsError.
ProcessingSettings fromJSON(const nlohmann::json& object,
                            const ProcessingSettings& base = ProcessingSettings());

/// The JSON text of `settings`, indented by `indent` spaces (-1: one line).
std::string encode(const ProcessingSettings& settings, int indent = 2);

/// Parses `text` and applies it to `base`. Throws SettingsError (also for malformed JSON).
ProcessingSettings decode(std::string_view text,
                          const ProcessingSettings& base = ProcessingSettings());

/// Applies one "field=value" assignment: `field` is a top-level field name or
/// "eqBands.<id>.<field>"; `value` is JSON ("-2", "true") or, when it is not valid JSON, a
/// bare string ("Interview Automix"). Throws SettingsError.
void assign(ProcessingSettings& settings, std::string_view assignment);

}  // namespace SettingsJSON

}  // namespace corvaline
