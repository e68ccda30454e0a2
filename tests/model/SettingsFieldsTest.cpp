#include "audiocore/model/SettingsFields.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "audiocore/model/SettingsJSON.hpp"

namespace corvaline {
namespace {

std::string refusal(const std::function<void()>& body) {
    try {
        body();
    } catch (const SettingsError& e) {
        return e.what();
    } catch (const std::exception& e) {
        return std::string("escaped as another type: ") + e.what();
    }
    return "(accepted)";
}

// The table is the one place ranges and defaults live: it must describe the record exactly.
TEST(SettingsFieldsTest, TheTableDescribesTheRecordAndItsDefaults) {
    const ProcessingSettings defaults;
    ASSERT_EQ(settingsFields().size(), 39u);
    const auto encoded = nlohmann::ordered_json::parse(SettingsJSON::encode(defaults));
    size_t index = 0;
    for (const auto& [key, value] : encoded.items()) {
        const SettingField& field = settingsFields()[index++];
        EXPECT_EQ(key, field.name);
        EXPECT_EQ(settingField(key), &field);
        switch (field.type) {
            case SettingType::number:
                EXPECT_EQ(defaults.*(field.number), field.defaultValue) << key;
                EXPECT_TRUE(field.offers(field.defaultValue)) << key;
                EXPECT_LE(field.guardLow, field.low) << key;
                EXPECT_GE(field.guardHigh, field.high) << key;
                EXPECT_TRUE(std::isfinite(field.fallback)) << key;
                EXPECT_FALSE(field.label.empty()) << key;
                break;
            case SettingType::flag:
                EXPECT_EQ(defaults.*(field.flag) ? 1.0 : 0.0, field.defaultValue) << key;
                break;
            case SettingType::channel:
                EXPECT_EQ(defaults.*(field.index), int(field.defaultValue)) << key;
                EXPECT_EQ(field.high, kMaxChannels - 1) << key;
                break;
            case SettingType::choice:
                // The names are the enumerations' raw values, in case order.
                EXPECT_EQ(field.choices[size_t(field.choiceOf(defaults))],
                          value.get<std::string>());
                for (size_t i = 0; i < field.choices.size(); ++i) {
                    ProcessingSettings s;
                    field.setChoice(s, int(i));
                    EXPECT_EQ(nlohmann::json::parse(SettingsJSON::encode(s))[std::string(key)],
                              std::string(field.choices[i]));
                }
                break;
            case SettingType::text:
            case SettingType::bands:
                break;
        }
    }
    EXPECT_EQ(settingField("celing"), nullptr);
    // A few guards the engine relies on, as the chain reads them.
    EXPECT_EQ(Setting::ceiling.guard(-200), -90);
    EXPECT_EQ(Setting::ceiling.guard(3), 0);
    EXPECT_EQ(Setting::ceiling.guard(std::nan("")), -1);
    EXPECT_EQ(Setting::outputGain.guard(40), 24);
    EXPECT_EQ(Setting::outputGain.finiteOr(40), 40);
    EXPECT_EQ(Setting::levelerSpeed.guard(100), 200);
    EXPECT_EQ(Setting::threshold.guard(-1000), -1000);
    EXPECT_EQ(Setting::threshold.guard(std::numeric_limits<double>::infinity()), -18);
    EXPECT_EQ(Setting::bandQ.guard(0), 0.1);
    EXPECT_EQ(Setting::bandQ.guard(std::numeric_limits<double>::infinity()), 0.70710678);
    EXPECT_EQ(bandFrequencyLimit(44100), 19845);
    EXPECT_EQ(bandFrequencyLimit(96000), 20000);
    EXPECT_EQ(bandFrequencyLimit(std::nullopt), 20000);
}

// Hostile settings documents and assignments: every problem is a SettingsError naming the field,
// and nothing recursive ever touches a deeply nested value.
TEST(SettingsFieldsTest, HostileSettingsAreSettingsErrorsNamingTheField) {
    auto decode = [](const std::string& text) {
        return refusal([&] { SettingsJSON::decode(text); });
    };
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    EXPECT_EQ(decode("{\"ratio\": " + deep + "}"), "ratio: nested deeper than settings can be");
    EXPECT_EQ(decode(deep), "settings: nested deeper than settings can be");
    EXPECT_EQ(decode(R"({"eqBands": [{"id": 1, "gain": [1]}]})"),
              "eqBands: nested deeper than settings can be");
    // The deepest document settings can hold still decodes.
    EXPECT_EQ(decode(R"({"eqBands": [{"id": 1, "gain": 1}]})"), "(accepted)");

    EXPECT_EQ(decode(R"({"ratio": 1e400})"), "ratio: a number is too large");
    EXPECT_EQ(decode("{\"modelID\": \"\xff\"}").rfind("settings: not valid JSON in \"modelID\"", 0),
              0u);
    EXPECT_EQ(decode(R"({"ratio": {"a": 1}})"), "ratio: expected a number, got an object");

    ProcessingSettings settings;
    const ProcessingSettings before = settings;
    auto assign = [&](const std::string& text) {
        return refusal([&] { SettingsJSON::assign(settings, text); });
    };
    EXPECT_EQ(assign("threshold=\xff"), "threshold: expected a number, got a string (\"?\")");
    EXPECT_EQ(assign("modelID=\xff"),
              "modelID: expected a model identifier such as \"dfn3\", got a string (\"?\")");
    EXPECT_EQ(assign("modelID=dfn3\x1b[2J"),
              "modelID: expected a model identifier such as \"dfn3\", got a string "
              "(\"dfn3?[2J\")");
    EXPECT_EQ(assign("ratio=1e400"), "ratio: a number is too large");
    EXPECT_EQ(assign("ratio=" + deep), "ratio: nested deeper than settings can be");
    EXPECT_EQ(assign("ratio=[1]"), "ratio: expected a single value, got an array");
    EXPECT_EQ(assign("\xff\x1b=1"), "??: unknown setting");
    EXPECT_EQ(assign("eqBands.1.\xff=1"), "eqBands.1.?: unknown band field");
    EXPECT_EQ(settings, before);
    // Whatever was accepted can be encoded again.
    SettingsJSON::assign(settings, "modelID=sidon-reference");
    EXPECT_NE(SettingsJSON::encode(settings).find("sidon-reference"), std::string::npos);
}

}  // namespace
}  // namespace corvaline
