#include "audiocore/model/SettingsJSON.hpp"

#include <gtest/gtest.h>

namespace corvaline {
namespace {

using nlohmann::json;

std::string refusal(const std::function<void()>& body) {
    try {
        body();
    } catch (const SettingsError& e) {
        return e.what();
    }
    return "(accepted)";
}

TEST(SettingsJSONTest, EveryPresetSurvivesARoundTrip) {
    for (const auto& preset : processingPresets()) {
        const std::string text = SettingsJSON::encode(preset.settings);
        EXPECT_EQ(SettingsJSON::decode(text), preset.settings) << preset.title;
    }
    // Fields keep the record's names and order; enums are written by their raw values.
    const json object = json::parse(SettingsJSON::encode(ProcessingSettings()));
    EXPECT_EQ(object.size(), 39u);
    EXPECT_EQ(object["sidonQuality"], "Standard");
    EXPECT_EQ(object["bleedMode"], "Correlated Spill");
    EXPECT_EQ(object["eqBands"][0]["kind"], "High-pass");
    EXPECT_EQ(object["eqBands"][7]["enabled"], false);
    EXPECT_EQ(SettingsJSON::encode(ProcessingSettings()).find("\"isolation\""), 4u);
}

TEST(SettingsJSONTest, MissingFieldsKeepTheBaseAndBandsMatchById) {
    const auto base = *presetNamed("Noisy Location");
    const auto settings = SettingsJSON::decode(
        R"({"ceiling": -2, "bleedMode": "Interview Automix",
            "eqBands": [{"id": 4, "gain": 3.5}, {"id": 7, "enabled": true, "kind": "Notch"}]})",
        base);
    ProcessingSettings expected = base;
    expected.ceiling = -2;
    expected.bleedMode = LavBleedMode::interview;
    expected.eqBands[4].gain = 3.5;
    expected.eqBands[7].enabled = true;
    expected.eqBands[7].kind = EQKind::notch;
    EXPECT_EQ(settings, expected);
    EXPECT_EQ(SettingsJSON::decode("{}", base), base);
}

TEST(SettingsJSONTest, RefusalsNameTheField) {
    auto decode = [](const char* text) { return refusal([&] { SettingsJSON::decode(text); }); };
    EXPECT_EQ(decode(R"({"celing": -1})"), "celing: unknown setting");
    EXPECT_EQ(decode(R"({"ceiling": "-1"})"), "ceiling: expected a number, got a string (\"-1\")");
    EXPECT_EQ(decode(R"({"ceiling": 0})"), "ceiling: must be between -12 and -0.1, got 0");
    EXPECT_EQ(decode(R"({"ratio": 0.5})"), "ratio: must be between 1 and 10, got 0.5");
    EXPECT_EQ(decode(R"({"eqEnabled": 1})"), "eqEnabled: expected true or false, got 1");
    EXPECT_EQ(decode(R"({"bleedChannelA": 1.5})"),
              "bleedChannelA: expected a whole number, got 1.5");
    EXPECT_EQ(decode(R"({"bleedChannelB": 128})"),
              "bleedChannelB: must be between 0 and 127, got 128");
    EXPECT_NE(
        decode(R"({"sidonQuality": "standard"})").find("expected one of \"Standard\", \"Careful\""),
        std::string::npos);
    EXPECT_EQ(decode(R"({"eqBands": [{"gain": 1}]})"), "eqBands[0]: a band needs its \"id\" (0-7)");
    EXPECT_EQ(decode(R"({"eqBands": [{"id": 8}]})"),
              "eqBands[0].id: must be between 0 and 7, got 8");
    EXPECT_EQ(decode(R"({"eqBands": [{"id": 1}, {"id": 1}]})"),
              "eqBands[1].id: band 1 is given twice");
    EXPECT_EQ(decode(R"({"eqBands": [{"id": 2, "frequency": 5}]})"),
              "eqBands[0].frequency: must be between 20 and 20000, got 5");
    EXPECT_EQ(decode(R"({"eqBands": [{"id": 2, "width": 5}]})"),
              "eqBands[0].width: unknown band field");
    EXPECT_EQ(decode("{\"ceiling\": ").rfind("settings: not valid JSON", 0), 0u);
}

TEST(SettingsJSONTest, Assignments) {
    ProcessingSettings settings;
    SettingsJSON::assign(settings, "ceiling=-2.5");
    SettingsJSON::assign(settings, "normalizationEnabled=true");
    SettingsJSON::assign(settings, "bleedMode=Interview Automix");
    SettingsJSON::assign(settings, "modelID=sidon");
    SettingsJSON::assign(settings, "eqBands.0.frequency=100");
    SettingsJSON::assign(settings, "eqBands.6.kind=\"Low-pass\"");
    EXPECT_EQ(settings.ceiling, -2.5);
    EXPECT_TRUE(settings.normalizationEnabled);
    EXPECT_EQ(settings.bleedMode, LavBleedMode::interview);
    EXPECT_EQ(settings.modelID, "sidon");
    EXPECT_EQ(settings.eqBands[0].frequency, 100);
    EXPECT_EQ(settings.eqBands[6].kind, EQKind::lowPass);

    const ProcessingSettings before = settings;
    EXPECT_EQ(refusal([&] { SettingsJSON::assign(settings, "ceiling"); }),
              "expected field=value, got \"ceiling\"");
    EXPECT_EQ(refusal([&] { SettingsJSON::assign(settings, "ceiling=loud"); }),
              "ceiling: expected a number, got a string (\"loud\")");
    EXPECT_EQ(refusal([&] { SettingsJSON::assign(settings, "eqBands.9.gain=1"); }),
              "eqBands.9.id: must be between 0 and 7, got 9");
    EXPECT_EQ(refusal([&] { SettingsJSON::assign(settings, "eqBands.x.gain=1"); }),
              "eqBands.x.gain: expected eqBands.<id>.<field> with an id 0-7");
    EXPECT_EQ(refusal([&] { SettingsJSON::assign(settings, "eqBands.2.gain=30"); }),
              "eqBands.2.gain: must be between -24 and 24, got 30");
    EXPECT_EQ(settings, before);
}

}  // namespace
}  // namespace corvaline
