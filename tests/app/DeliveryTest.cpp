// A delivery standard chosen in the application: it sets the target and ceiling, judges the
// processed-audio measurement and the exported file, and its verdict goes stale with the
// settings it was made under.

#include <gtest/gtest.h>

#include <cstdlib>

#include "AppTestSupport.hpp"
#include "TestSupport.hpp"
#include "core/models/ModelManager.hpp"
#include "core/state/AppState.hpp"

namespace corvaline::app {
namespace {

using test::waitUntil;

class DeliveryTest : public test::StateFixture {
  protected:
    void SetUp() override {
        StateFixture::SetUp();
        test::writeTone(dir / "take.wav", 2, 6.0);
        importFile(dir / "take.wav");
    }

    void measure() {
        state->measureLoudness();
        ASSERT_TRUE(waitUntil([&] { return !state->busy(); }));
        ASSERT_FALSE(state->error()) << state->error()->toStdString();
    }
    void renderAndExport(const std::filesystem::path& destination) {
        state->render(true);
        ASSERT_TRUE(waitUntil([&] { return !state->busy(); }));
        state->exportTo(destination);
        ASSERT_TRUE(waitUntil([&] { return !state->busy(); }));
        ASSERT_FALSE(state->error()) << state->error()->toStdString();
    }
};

TEST_F(DeliveryTest, AStandardSetsTargetAndCeilingAndNoneKeepsThem) {
    auto settings = state->settings();
    settings.normalizationEnabled = false;
    settings.limiterEnabled = false;
    state->editSettings(settings);

    state->setDeliveryStandardID(QStringLiteral("ATSC A/85"));  // names are found like ids
    EXPECT_EQ(state->deliveryStandardID(), "atsc-a85");
    EXPECT_TRUE(state->settings().normalizationEnabled);
    EXPECT_TRUE(state->settings().limiterEnabled);
    EXPECT_TRUE(state->settings().truePeakEnabled);
    EXPECT_DOUBLE_EQ(state->settings().targetLUFS, -24);
    EXPECT_DOUBLE_EQ(state->settings().ceiling, -2);

    state->setDeliveryStandardID(QStringLiteral("no such standard"));
    EXPECT_EQ(state->deliveryStandardID(), "atsc-a85");
    state->setDeliveryStandardID(QString());
    EXPECT_TRUE(state->deliveryStandardID().isEmpty());
    EXPECT_DOUBLE_EQ(state->settings().targetLUFS, -24);  // "None" changes no setting
}

TEST_F(DeliveryTest, MeasurementIsJudgedAndTheVerdictGoesStaleWithTheSettings) {
    state->setDeliveryStandardID(QStringLiteral("ebu-r128"));
    measure();
    ASSERT_TRUE(state->deliveryCheck());
    EXPECT_EQ(state->deliveryCheck()->standardID, "ebu-r128");
    EXPECT_FALSE(state->deliveryCheck()->exported);
    EXPECT_TRUE(state->deliveryCheck()->verdict.compliant)
        << state->deliveryCheck()->verdict.reason();

    // A target the standard does not accept: measured, and refused with the reason.
    auto settings = state->settings();
    settings.targetLUFS = -18;
    state->editSettings(settings);
    EXPECT_FALSE(state->loudnessCurrent());  // the verdict goes stale with the readings
    EXPECT_EQ(state->deliveryStandardID(), "ebu-r128");
    measure();
    ASSERT_TRUE(state->deliveryCheck());
    EXPECT_FALSE(state->deliveryCheck()->verdict.compliant);
    EXPECT_NE(state->deliveryCheck()->verdict.reason().find("integrated loudness"),
              std::string::npos)
        << state->deliveryCheck()->verdict.reason();

    state->setDeliveryStandardID(QString());
    EXPECT_FALSE(state->deliveryCheck());
    measure();
    EXPECT_FALSE(state->deliveryCheck());  // no standard, no verdict

    // An export's verdict goes with the next change.
    state->setDeliveryStandardID(QStringLiteral("ebu-r128"));
    renderAndExport(dir / "take_clean.wav");
    ASSERT_TRUE(state->deliveryCheck());
    settings = state->settings();
    settings.outputGain = -1;
    state->editSettings(settings);
    EXPECT_FALSE(state->deliveryCheck());
}

TEST_F(DeliveryTest, TheExportedFileIsJudgedWithTheStrictMeter) {
    state->setDeliveryStandardID(QStringLiteral("podcast"));
    renderAndExport(dir / "take_clean.wav");
    ASSERT_TRUE(state->deliveryCheck());
    EXPECT_EQ(state->deliveryCheck()->exported, dir / "take_clean.wav");
    EXPECT_TRUE(state->deliveryCheck()->verdict.compliant)
        << state->deliveryCheck()->verdict.reason();
    EXPECT_EQ(state->status(), "Exported take_clean.wav \u00b7 Podcast: compliant");

    // A target the standard does not accept.
    auto settings = state->settings();
    settings.targetLUFS = -20;
    state->editSettings(settings);
    renderAndExport(dir / "quiet.wav");
    ASSERT_TRUE(state->deliveryCheck());
    EXPECT_FALSE(state->deliveryCheck()->verdict.compliant);
    EXPECT_EQ(state->deliveryCheck()->exported, dir / "quiet.wav");
    EXPECT_TRUE(std::filesystem::exists(dir / "quiet.wav"));  // a failing file is kept
    EXPECT_NE(state->status().indexOf("not compliant"), -1) << state->status().toStdString();
}

}  // namespace
}  // namespace corvaline::app
