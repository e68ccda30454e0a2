#include "audiocore/model/SettingsJSON.hpp"

#include <cmath>
#include <cstdio>
#include <set>

#include "audiocore/model/SettingsFields.hpp"

namespace corvaline::SettingsJSON {

using json = nlohmann::json;

namespace {

/// Deepest nesting a settings document needs: the object, the eqBands array and a band object.
/// Anything deeper is refused while parsing, before any recursive operation of the JSON library
/// (serialising a value for a message, copying, comparing) can touch it.
constexpr std::size_t kMaxDepth = 3;

/// Longest model identifier accepted (the catalog's are a few characters).
constexpr std::size_t kMaxModelID = 64;

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

/// `text` with bytes that are not printable ASCII replaced, so that a name taken from the
/// input can go into a message without forging terminal output or carrying invalid UTF-8.
std::string printable(std::string_view text, size_t limit = 80) {
    std::string out;
    for (const char c : text.substr(0, limit)) {
        const auto byte = static_cast<unsigned char>(c);
        out += byte >= 0x20 && byte < 0x7f ? c : '?';
    }
    if (text.size() > limit) out += "...";
    return out;
}

/// A document that is not JSON at all (as opposed to JSON that settings cannot hold).
class Malformed : public SettingsError {
  public:
    using SettingsError::SettingsError;
};

[[noreturn]] void refuse(const std::string& path, const std::string& problem) {
    throw SettingsError(printable(path) + ": " + problem);
}

/// How a value reads in a message. Containers are named, never serialised, and strings go
/// through printable(): a message never fails on, or reproduces, what it describes.
std::string typeName(const json& value) {
    switch (value.type()) {
        case json::value_t::object:
            return "an object";
        case json::value_t::array:
            return "an array";
        case json::value_t::string:
            return "a string (\"" + printable(value.get_ref<const std::string&>()) + "\")";
        case json::value_t::binary:
            return "binary data";
        case json::value_t::discarded:
            return "nothing";
        default:
            return value.dump();
    }
}

bool readBool(const json& value, const std::string& path) {
    if (!value.is_boolean()) refuse(path, "expected true or false, got " + typeName(value));
    return value.get<bool>();
}

double readNumber(const json& value, const std::string& path, double low, double high) {
    if (!value.is_number()) refuse(path, "expected a number, got " + typeName(value));
    const double x = value.get<double>();
    if (!std::isfinite(x) || x < low || x > high) {
        refuse(path,
               "must be between " + number(low) + " and " + number(high) + ", got " + value.dump());
    }
    return x;
}

int readInteger(const json& value, const std::string& path, int low, int high) {
    const double x = readNumber(value, path, low, high);
    if (x != std::floor(x)) refuse(path, "expected a whole number, got " + value.dump());
    return int(x);
}

int readChoice(const json& value, const std::string& path,
               std::span<const std::string_view> choices) {
    std::string list;
    for (std::string_view choice : choices)
        list += (list.empty() ? "\"" : ", \"") + std::string(choice) + "\"";
    if (value.is_string()) {
        for (size_t i = 0; i < choices.size(); ++i) {
            if (choices[i] == value.get_ref<const std::string&>()) return int(i);
        }
    }
    refuse(path, "expected one of " + list + ", got " + typeName(value));
}

std::string readModelID(const json& value, const std::string& path) {
    const auto valid = [](const std::string& text) {
        if (text.empty() || text.size() > kMaxModelID) return false;
        for (const char c : text) {
            const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                            (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
            if (!ok) return false;
        }
        return true;
    };
    if (!value.is_string() || !valid(value.get_ref<const std::string&>())) {
        refuse(path, "expected a model identifier such as \"dfn3\", got " + typeName(value));
    }
    return value.get<std::string>();
}

/// The EQ kinds' raw values, in case order.
std::span<const std::string_view> kindNames() {
    static const auto names = [] {
        std::array<std::string_view, allEQKinds.size()> result;
        for (size_t i = 0; i < allEQKinds.size(); ++i)
            result[i] = rawValue(allEQKinds[i]);
        return result;
    }();
    return names;
}

json bandJSON(const EQBand& band) {
    return json{{"id", band.id},
                {"enabled", band.enabled},
                {"kind", std::string(rawValue(band.kind))},
                {"frequency", band.frequency},
                {"gain", band.gain},
                {"q", band.q}};
}

// Applies one band object onto the band with the same id.
void applyBand(std::vector<EQBand>& bands, const json& object, const std::string& path,
               std::set<int>& seen) {
    if (!object.is_object()) refuse(path, "expected a band object, got " + typeName(object));
    if (!object.contains("id")) refuse(path, "a band needs its \"id\" (0-7)");
    const int id = readInteger(object["id"], path + ".id", 0, 7);
    if (!seen.insert(id).second)
        refuse(path + ".id", "band " + std::to_string(id) + " is given twice");
    EQBand* band = nullptr;
    for (auto& candidate : bands) {
        if (candidate.id == id) band = &candidate;
    }
    if (!band) refuse(path + ".id", "no band " + std::to_string(id));
    EQBand updated = *band;
    for (const auto& [key, value] : object.items()) {
        const std::string where = path + "." + key;
        if (key == "id") continue;
        if (key == "enabled") {
            updated.enabled = readBool(value, where);
        } else if (key == "kind") {
            updated.kind = allEQKinds[size_t(readChoice(value, where, kindNames()))];
        } else if (const BandField* field = bandField(key)) {
            updated.*(field->member) = readNumber(value, where, field->low, field->high);
        } else {
            refuse(where, "unknown band field");
        }
    }
    *band = updated;
}

json fieldJSON(const SettingField& field, const ProcessingSettings& s) {
    switch (field.type) {
        case SettingType::flag:
            return s.*(field.flag);
        case SettingType::number:
            return s.*(field.number);
        case SettingType::channel:
            return s.*(field.index);
        case SettingType::choice:
            return std::string(field.choices[size_t(field.choiceOf(s))]);
        case SettingType::text:
            return s.modelID;
        case SettingType::bands: {
            json array = json::array();
            for (const auto& band : s.eqBands)
                array.push_back(bandJSON(band));
            return array;
        }
    }
    return nullptr;
}

void applyField(const SettingField& field, ProcessingSettings& s, const json& v,
                const std::string& path) {
    switch (field.type) {
        case SettingType::flag:
            s.*(field.flag) = readBool(v, path);
            return;
        case SettingType::number:
            s.*(field.number) = readNumber(v, path, field.low, field.high);
            return;
        case SettingType::channel:
            s.*(field.index) = readInteger(v, path, int(field.low), int(field.high));
            return;
        case SettingType::choice:
            field.setChoice(s, readChoice(v, path, field.choices));
            return;
        case SettingType::text:
            s.modelID = readModelID(v, path);
            return;
        case SettingType::bands: {
            if (!v.is_array())
                refuse(path, "expected an array of band objects, got " + typeName(v));
            std::set<int> seen;
            for (size_t i = 0; i < v.size(); ++i) {
                applyBand(s.eqBands, v[i], path + "[" + std::to_string(i) + "]", seen);
            }
            return;
        }
    }
}

const SettingField& findField(std::string_view name) {
    const SettingField* field = settingField(name);
    if (!field) refuse(std::string(name), "unknown setting");
    return *field;
}

/// Parses `text` with the nesting bounded by kMaxDepth. Every failure of the JSON library
/// (malformed text, invalid UTF-8, a number beyond double range) becomes a SettingsError that
/// names the setting being read when there is one.
json parseBounded(std::string_view text, const std::string& what) {
    std::string key;  // the last key read at the top level, for messages
    bool tooDeep = false;
    const json::parser_callback_t bound = [&](int depth, json::parse_event_t event, json& parsed) {
        if (event == json::parse_event_t::key && depth == 1 && parsed.is_string()) {
            key = parsed.get<std::string>();
        }
        if ((event == json::parse_event_t::object_start ||
             event == json::parse_event_t::array_start) &&
            std::size_t(depth) >= kMaxDepth) {
            tooDeep = true;
            throw SettingsError("");
        }
        return true;
    };
    const auto where = [&] { return key.empty() ? what : key; };
    try {
        return json::parse(text, bound);
    } catch (const SettingsError&) {
        if (tooDeep) refuse(where(), "nested deeper than settings can be");
        throw;
    } catch (const json::out_of_range&) {
        refuse(where(), "a number is too large");
    } catch (const json::exception& e) {
        // The library's text names the position; it goes on a second line.
        throw Malformed(printable(what) + ": not valid JSON" +
                        (key.empty() ? "" : " in \"" + printable(key) + "\"") + "\n" +
                        printable(e.what(), 300));
    }
}

}  // namespace

json toJSON(const ProcessingSettings& settings) {
    json object = json::object();
    for (const SettingField& field : settingsFields())
        object[std::string(field.name)] = fieldJSON(field, settings);
    return object;
}

ProcessingSettings fromJSON(const json& object, const ProcessingSettings& base) {
    if (!object.is_object()) throw SettingsError("settings: expected a JSON object");
    ProcessingSettings settings = base;
    for (const auto& [key, value] : object.items()) {
        applyField(findField(key), settings, value, key);
    }
    return settings;
}

std::string encode(const ProcessingSettings& settings, int indent) {
    // nlohmann::json keeps keys sorted; write the fields in declaration order instead.
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
    for (const SettingField& field : settingsFields()) {
        object[std::string(field.name)] =
            nlohmann::ordered_json::parse(fieldJSON(field, settings).dump());
    }
    return object.dump(indent);
}

ProcessingSettings decode(std::string_view text, const ProcessingSettings& base) {
    const json object = parseBounded(text, "settings");
    return fromJSON(object, base);
}

void assign(ProcessingSettings& settings, std::string_view assignment) {
    const size_t equals = assignment.find('=');
    if (equals == std::string_view::npos || equals == 0) {
        throw SettingsError("expected field=value, got \"" + printable(assignment) + "\"");
    }
    const std::string name(assignment.substr(0, equals));
    const std::string text(assignment.substr(equals + 1));
    // A value is JSON when it parses as such (a number, true, a quoted string); anything else
    // is taken as a bare string.
    json value;
    try {
        value = parseBounded(text, name);
    } catch (const Malformed&) {
        value = text;
    }
    if (value.is_structured()) refuse(name, "expected a single value, got " + typeName(value));

    constexpr std::string_view prefix = "eqBands.";
    if (name.rfind(prefix, 0) == 0) {
        // eqBands.<id>.<field>
        const std::string rest = name.substr(prefix.size());
        const size_t dot = rest.find('.');
        const std::string id = rest.substr(0, dot);
        if (dot == std::string::npos || id.empty() ||
            id.find_first_not_of("0123456789") != std::string::npos || id.size() > 2) {
            refuse(name, "expected eqBands.<id>.<field> with an id 0-7");
        }
        json band = {{"id", std::stoi(id)}, {rest.substr(dot + 1), value}};
        std::set<int> seen;
        applyBand(settings.eqBands, band, "eqBands." + id, seen);
        return;
    }
    const SettingField& field = findField(name);
    ProcessingSettings updated = settings;
    applyField(field, updated, value, name);
    settings = std::move(updated);
}

}  // namespace corvaline::SettingsJSON
