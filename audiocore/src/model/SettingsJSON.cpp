#include "audiocore/model/SettingsJSON.hpp"

#include <cmath>
#include <cstdio>
#include <functional>
#include <set>

#include "audiocore/model/AudioBuffer.hpp"

namespace corvaline::SettingsJSON {

using json = nlohmann::json;

namespace {

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

[[noreturn]] void refuse(const std::string& path, const std::string& problem) {
    throw SettingsError(path + ": " + problem);
}

std::string typeName(const json& value) {
    return value.is_string() ? "a string (" + value.dump() + ")" : value.dump();
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

template <typename Enum, size_t N>
Enum readEnum(const json& value, const std::string& path, const std::array<Enum, N>& cases) {
    std::string choices;
    for (Enum e : cases)
        choices += (choices.empty() ? "\"" : ", \"") + std::string(rawValue(e)) + "\"";
    if (value.is_string()) {
        for (Enum e : cases) {
            if (rawValue(e) == value.get<std::string>()) return e;
        }
    }
    refuse(path, "expected one of " + choices + ", got " + typeName(value));
}

// One top-level field: how to write it and how to read it (with its control range).
struct Field {
    const char* name;
    std::function<json(const ProcessingSettings&)> get;
    std::function<void(ProcessingSettings&, const json&, const std::string&)> set;
};

Field boolean(const char* name, bool ProcessingSettings::*member) {
    return {name, [member](const ProcessingSettings& s) { return json(s.*member); },
            [member](ProcessingSettings& s, const json& v, const std::string& path) {
                s.*member = readBool(v, path);
            }};
}

Field real(const char* name, double ProcessingSettings::*member, double low, double high) {
    return {name, [member](const ProcessingSettings& s) { return json(s.*member); },
            [member, low, high](ProcessingSettings& s, const json& v, const std::string& path) {
                s.*member = readNumber(v, path, low, high);
            }};
}

Field channel(const char* name, int ProcessingSettings::*member) {
    return {name, [member](const ProcessingSettings& s) { return json(s.*member); },
            [member](ProcessingSettings& s, const json& v, const std::string& path) {
                s.*member = readInteger(v, path, 0, kMaxChannels - 1);
            }};
}

template <typename Enum, size_t N>
Field enumeration(const char* name, Enum ProcessingSettings::*member,
                  const std::array<Enum, N>& cases) {
    return {
        name,
        [member](const ProcessingSettings& s) { return json(std::string(rawValue(s.*member))); },
        [member, cases](ProcessingSettings& s, const json& v, const std::string& path) {
            s.*member = readEnum(v, path, cases);
        }};
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
        if (key == "enabled")
            updated.enabled = readBool(value, where);
        else if (key == "kind")
            updated.kind = readEnum(value, where, allEQKinds);
        else if (key == "frequency")
            updated.frequency = readNumber(value, where, 20, 20000);
        else if (key == "gain")
            updated.gain = readNumber(value, where, -24, 24);
        else if (key == "q")
            updated.q = readNumber(value, where, 0.1, 18);
        else
            refuse(where, "unknown band field");
    }
    *band = updated;
}

Field bands() {
    return {"eqBands",
            [](const ProcessingSettings& s) {
                json array = json::array();
                for (const auto& band : s.eqBands)
                    array.push_back(bandJSON(band));
                return array;
            },
            [](ProcessingSettings& s, const json& v, const std::string& path) {
                if (!v.is_array())
                    refuse(path, "expected an array of band objects, got " + typeName(v));
                std::set<int> seen;
                for (size_t i = 0; i < v.size(); ++i) {
                    applyBand(s.eqBands, v[i], path + "[" + std::to_string(i) + "]", seen);
                }
            }};
}

const std::vector<Field>& fields() {
    using S = ProcessingSettings;
    static const std::vector<Field> table = {
        boolean("isolation", &S::isolation),
        {"modelID", [](const S& s) { return json(s.modelID); },
         [](S& s, const json& v, const std::string& path) {
             if (!v.is_string() || v.get<std::string>().empty()) {
                 refuse(path, "expected a model identifier such as \"dfn3\", got " + typeName(v));
             }
             s.modelID = v.get<std::string>();
         }},
        real("reduction", &S::reduction, 0, 100),
        real("originalMix", &S::originalMix, 0, 100),
        enumeration("sidonQuality", &S::sidonQuality, allSidonQualities),
        boolean("eqEnabled", &S::eqEnabled),
        bands(),
        boolean("compressorEnabled", &S::compressorEnabled),
        real("threshold", &S::threshold, -60, 0),
        real("ratio", &S::ratio, 1, 10),
        real("attack", &S::attack, 0.1, 100),
        real("release", &S::release, 10, 1000),
        real("makeup", &S::makeup, 0, 18),
        real("knee", &S::knee, 0, 24),
        boolean("limiterEnabled", &S::limiterEnabled),
        boolean("truePeakEnabled", &S::truePeakEnabled),
        real("ceiling", &S::ceiling, -12, -0.1),
        real("limiterRelease", &S::limiterRelease, 10, 500),
        real("outputGain", &S::outputGain, -24, 12),
        boolean("normalizationEnabled", &S::normalizationEnabled),
        real("targetLUFS", &S::targetLUFS, -36, -9),
        real("normalizationMaxBoost", &S::normalizationMaxBoost, 0, 24),
        boolean("levelerEnabled", &S::levelerEnabled),
        real("levelerTarget", &S::levelerTarget, -40, -12),
        real("levelerMaxBoost", &S::levelerMaxBoost, 0, 18),
        real("levelerMaxCut", &S::levelerMaxCut, 0, 24),
        real("levelerGate", &S::levelerGate, -80, -20),
        real("levelerSpeed", &S::levelerSpeed, 200, 3000),
        boolean("bleedEnabled", &S::bleedEnabled),
        enumeration("bleedMode", &S::bleedMode, allLavBleedModes),
        real("bleedHold", &S::bleedHold, 0, 500),
        channel("bleedChannelA", &S::bleedChannelA),
        channel("bleedChannelB", &S::bleedChannelB),
        real("bleedDepth", &S::bleedDepth, 0, 36),
        real("bleedDifference", &S::bleedDifference, 3, 18),
        real("bleedFloor", &S::bleedFloor, -80, -20),
        real("bleedRelease", &S::bleedRelease, 50, 1000),
        real("bleedTrimA", &S::bleedTrimA, -24, 24),
        real("bleedTrimB", &S::bleedTrimB, -24, 24),
    };
    return table;
}

const Field* findField(std::string_view name) {
    for (const auto& field : fields()) {
        if (name == field.name) return &field;
    }
    return nullptr;
}

}  // namespace

json toJSON(const ProcessingSettings& settings) {
    json object = json::object();
    for (const auto& field : fields())
        object[field.name] = field.get(settings);
    return object;
}

ProcessingSettings fromJSON(const json& object, const ProcessingSettings& base) {
    if (!object.is_object()) throw SettingsError("settings: expected a JSON object");
    ProcessingSettings settings = base;
    for (const auto& [key, value] : object.items()) {
        const Field* field = findField(key);
        if (!field) refuse(key, "unknown setting");
        field->set(settings, value, key);
    }
    return settings;
}

std::string encode(const ProcessingSettings& settings, int indent) {
    // nlohmann::json keeps keys sorted; write the fields in declaration order instead.
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
    for (const auto& field : fields()) {
        object[field.name] = nlohmann::ordered_json::parse(field.get(settings).dump());
    }
    return object.dump(indent);
}

ProcessingSettings decode(std::string_view text, const ProcessingSettings& base) {
    json object;
    try {
        object = json::parse(text);
    } catch (const json::parse_error& e) {
        throw SettingsError(std::string("settings: not valid JSON (") + e.what() + ")");
    }
    return fromJSON(object, base);
}

void assign(ProcessingSettings& settings, std::string_view assignment) {
    const size_t equals = assignment.find('=');
    if (equals == std::string_view::npos || equals == 0) {
        throw SettingsError("expected field=value, got \"" + std::string(assignment) + "\"");
    }
    const std::string name(assignment.substr(0, equals));
    const std::string text(assignment.substr(equals + 1));
    json value = json::parse(text, nullptr, false);
    if (value.is_discarded()) value = text;

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
    const Field* field = findField(name);
    if (!field) refuse(name, "unknown setting");
    ProcessingSettings updated = settings;
    field->set(updated, value, name);
    settings = std::move(updated);
}

}  // namespace corvaline::SettingsJSON
