// Render and export through AppState with an identity stand-in for DeepFilterNet installed in
// a temporary model folder: the reuse path, the model and failure rows, the invalidation
// rules, and the export's replace, refuse and clean-up rules.

#include <gtest/gtest.h>

#include <cstdlib>

#include "AppTestSupport.hpp"
#include "TestSupport.hpp"
#include "audiocore/files/AudioIO.hpp"
#include "core/models/ModelManager.hpp"
#include "core/state/AppState.hpp"

namespace corvaline::app {
namespace {

using test::waitUntil;

class RenderTest : public test::StateFixture {
  protected:
    std::filesystem::path calls = dir / "engine-calls.txt";

    void prepareModels() override { test::installIdentityEngine(dir / "Models", calls); }

    void enableModel(const std::string& id = "dfn3") {
        auto settings = state->settings();
        settings.isolation = true;
        settings.modelID = id;
        state->editSettings(settings);
    }

    // Renders and returns the status shown while rendering.
    QString renderAndWait(bool fullFile) {
        state->render(fullFile);
        const QString during = state->status();
        EXPECT_TRUE(waitUntil([&] { return !state->busy(); }));
        return during;
    }

    int engineCalls() const {
        const std::string text =
            std::filesystem::exists(calls) ? corvaline::test::readFile(calls) : "";
        return int(std::count(text.begin(), text.end(), '\n'));
    }
};

TEST_F(RenderTest, TheSameSelectionReusesTheRestorationAndAnotherRunsTheModelAgain) {
    test::writeTone(dir / "take.wav", 2, 4.0);
    importFile(dir / "take.wav");
    enableModel();
    state->setRange(1, 2);
    EXPECT_EQ(renderAndWait(false), "Isolating voice locally");
    EXPECT_EQ(state->status(), "Selection preview ready");
    EXPECT_EQ(engineCalls(), 2);  // one run per processed channel
    ASSERT_TRUE(state->preview());
    EXPECT_TRUE(state->processed());
    EXPECT_TRUE(state->previewCurrent());
    EXPECT_EQ(state->monitorLabel(), "Processed · DeepFilterNet 3");
    EXPECT_DOUBLE_EQ(state->time(), 1.0);
    const auto firstRestoration = *state->restorationURL();

    // DSP edit: same restoration, only the chain runs again; the old restoration file goes.
    auto settings = state->settings();
    settings.outputGain = -2;
    state->editSettings(settings);
    EXPECT_TRUE(state->previewCurrent());
    EXPECT_EQ(renderAndWait(false), "Updating preview mix and DSP");
    EXPECT_EQ(engineCalls(), 2);
    // Replaced files are deleted off the GUI thread, so the old one goes shortly after.
    EXPECT_TRUE(waitUntil([&] { return !std::filesystem::exists(firstRestoration); }));
    EXPECT_TRUE(std::filesystem::exists(*state->restorationURL()));

    state->setRange(2, 3);
    EXPECT_FALSE(state->previewPlayable());
    EXPECT_EQ(renderAndWait(false), "Isolating voice locally");
    EXPECT_EQ(engineCalls(), 4);
}

TEST_F(RenderTest, AiSettingsInvalidateThePreviewAndDspSettingsDoNot) {
    test::writeTone(dir / "take.wav", 1, 3.0);
    importFile(dir / "take.wav");
    enableModel();
    renderAndWait(true);
    ASSERT_TRUE(state->previewCurrent());
    ASSERT_TRUE(state->canLevelMatch());
    state->setLevelMatched(true);
    ASSERT_TRUE(state->levelMatched());

    auto settings = state->settings();
    settings.eqBands[2].gain = 4;  // a DSP edit after the render
    state->editSettings(settings);
    EXPECT_TRUE(state->previewCurrent());
    EXPECT_FALSE(state->canLevelMatch());
    EXPECT_FALSE(state->levelMatched());  // level match turned off by the live edit

    settings.reduction = 12;  // an AI setting
    state->editSettings(settings);
    EXPECT_FALSE(state->previewCurrent());
    // Nothing to export until the full file is rendered again.
    state->exportTo(dir / "out.wav");
    EXPECT_FALSE(state->busy());
    EXPECT_FALSE(std::filesystem::exists(dir / "out.wav"));

    // Turning a channel's processing off also makes the restoration stale.
    settings.reduction = 24;
    state->editSettings(settings);
    EXPECT_TRUE(state->previewCurrent());
    state->setChannel(0, ChannelSettings{false, false, false});
    EXPECT_FALSE(state->previewCurrent());
    state->render(true);
    EXPECT_EQ(*state->error(), "Select at least one channel for processing.");
    EXPECT_FALSE(state->busy());
}

TEST_F(RenderTest, AMissingModelSendsTheUserToSettingsWithoutStoppingPlayback) {
    test::writeTone(dir / "take.wav", 1, 10.0);
    importFile(dir / "take.wav");
    state->play();
    ASSERT_TRUE(waitUntil([&] { return state->isPlaying(); }));
    enableModel("dfn2");  // switches the monitor to Original, which restarts playback
    ASSERT_TRUE(waitUntil([&] { return state->isPlaying(); }));
    state->render(true);
    EXPECT_FALSE(state->busy());
    EXPECT_TRUE(state->isPlaying());
    ASSERT_TRUE(state->error());
    EXPECT_EQ(*state->error(), "Download the selected model in Settings first.");
    EXPECT_EQ(state->page(), WorkspacePage::settings);
    state->stop();
}

TEST_F(RenderTest, AFullOriginalBlendNeedsNoSidonModel) {
    test::writeTone(dir / "take.wav", 1, 2.0);
    importFile(dir / "take.wav");
    state->applySidonPreset(0, SidonQuality::standard);  // originalMix 100
    EXPECT_EQ(renderAndWait(true), "Rendering DSP");
    EXPECT_EQ(state->status(), "Full-file render ready");
    EXPECT_FALSE(state->hasSidonRestoration());
    EXPECT_EQ(state->monitorLabel(), "Processed · DSP only");
    EXPECT_TRUE(state->previewCurrent());
}

TEST_F(RenderTest, NothingChangesSelectionOrSessionWhileARenderRuns) {
    test::writeTone(dir / "a.wav", 4, 30.0);
    test::writeTone(dir / "b.wav", 1, 1.0);
    state->importURLs({dir / "a.wav", dir / "b.wav"});
    ASSERT_TRUE(waitUntil([&] { return !state->busy(); }));
    const std::string selected = *state->selectedID();
    state->render(true);
    ASSERT_TRUE(state->busy());
    state->removeSelected();
    state->selectID(state->files()[1].id);
    state->enableRange(true);
    state->exportTo(dir / "out.wav");  // export refused while busy
    EXPECT_EQ(state->files().size(), 2u);
    EXPECT_EQ(*state->selectedID(), selected);
    EXPECT_FALSE(state->previewRange());
    state->cancel();
    ASSERT_TRUE(waitUntil([&] { return !state->busy(); }));
    EXPECT_EQ(state->status(), "Render cancelled");
    EXPECT_FALSE(state->preview());
    EXPECT_FALSE(std::filesystem::exists(dir / "out.wav"));
    // The cancelled render leaves no preview or restoration in the workspace (they are
    // unlinked in the background, just after the render has ended).
    auto leftovers = [&] {
        int found = 0;
        for (const auto& entry : std::filesystem::directory_iterator(state->workspace())) {
            const std::string name = entry.path().filename().string();
            if (name.rfind("preview-", 0) == 0 || name.rfind("restored-", 0) == 0) ++found;
        }
        return found;
    };
    waitUntil([&] { return leftovers() == 0; }, std::chrono::seconds(10));
    EXPECT_EQ(leftovers(), 0);
}

TEST_F(RenderTest, ExportReplacesAnotherFileButNeverTheSource) {
    test::writeTone(dir / "take.wav", 2, 2.0);
    importFile(dir / "take.wav");
    renderAndWait(true);
    ASSERT_TRUE(state->previewCurrent());

    corvaline::test::writeFile(dir / "old.wav", "an older export");
    std::vector<std::filesystem::path> revealed;
    PlatformServices platform;
    platform.revealFile = [&](const std::filesystem::path& p) { revealed.push_back(p); };
    platform.savePanel = [&](const QString& suggested) -> std::optional<std::filesystem::path> {
        // Beside the recording, with its name.
        EXPECT_EQ(suggested.toStdString(), (dir / "take_clean.wav").string());
        return dir / "old.wav";
    };
    state->setPlatform(platform);
    state->exportWAV();
    EXPECT_EQ(state->status(), "Exporting 32-bit WAV");
    ASSERT_TRUE(waitUntil([&] { return !state->busy(); }));
    EXPECT_EQ(state->status(), "Exported old.wav");
    EXPECT_EQ(AudioIO::open(dir / "old.wav")->length(), 96000);
    EXPECT_EQ(revealed, std::vector<std::filesystem::path>{dir / "old.wav"});

    std::filesystem::create_symlink(dir / "take.wav", dir / "link.wav");
    for (const auto& target : {dir / "take.wav", dir / "link.wav"}) {
        state->setError(std::nullopt);
        state->exportTo(target);
        EXPECT_FALSE(state->busy());
        ASSERT_TRUE(state->error());
        EXPECT_EQ(*state->error(), "Choose a different name to protect the source recording.");
    }
    EXPECT_EQ(AudioIO::open(dir / "take.wav")->length(), 96000);

    // Another recording open in the session is an original as well.
    test::writeTone(dir / "other take.wav", 1, 0.5);
    state->setError(std::nullopt);
    importFile(dir / "other take.wav");
    ASSERT_EQ(state->files().size(), 2u);
    ASSERT_TRUE(state->previewCurrent());
    state->setError(std::nullopt);
    state->exportTo(dir / "other take.wav");
    EXPECT_FALSE(state->busy());
    ASSERT_TRUE(state->error());
    EXPECT_EQ(*state->error(), "Choose a different name to protect the source recording.");
    EXPECT_EQ(AudioIO::open(dir / "other take.wav")->length(), 24000);

    // The test recording lives in the private workspace: only a name is suggested there.
    state->demo();
    ASSERT_TRUE(waitUntil([&] { return !state->busy() && state->files().size() == 3; }));
    state->selectID(state->files()[2].id);
    renderAndWait(true);
    std::optional<QString> suggestedForDemo;
    platform.savePanel = [&](const QString& suggested) -> std::optional<std::filesystem::path> {
        suggestedForDemo = suggested;
        return std::nullopt;
    };
    state->setPlatform(platform);
    state->exportWAV();
    ASSERT_TRUE(suggestedForDemo);
    EXPECT_EQ(suggestedForDemo->toStdString(), "Kestrio Corvaline Test Recording_clean.wav");
}

TEST_F(RenderTest, TwentyFourBitExportAcceptsAPeakOfExactlyOneAndRefusesAnythingAbove) {
    for (const float peak : {1.0f, 1.0001f}) {
        const auto name = peak == 1.0f ? std::string("unity.wav") : std::string("over.wav");
        test::writeConstant(dir / name, 1, 0.5, peak);
        importFile(dir / name);
        state->selectID(state->files().back().id);
        state->editSettings(AppState::originalMonitorSettings());  // a neutral chain
        renderAndWait(true);
        ASSERT_TRUE(state->previewCurrent());
        state->setExportBits(24);
        state->setError(std::nullopt);
        const auto out = dir / ("export-of-" + name);
        state->exportTo(out);
        ASSERT_TRUE(waitUntil([&] { return !state->busy(); }));
        if (peak == 1.0f) {
            EXPECT_EQ(state->status(), "Exported export-of-unity.wav");
            EXPECT_FALSE(state->error());
        } else {
            EXPECT_EQ(state->status(), "Export failed");
            ASSERT_TRUE(state->error());
            EXPECT_EQ(*state->error(),
                      "Audio exceeds 0 dBFS. Enable the limiter or lower output gain before "
                      "24-bit export.");
            EXPECT_FALSE(std::filesystem::exists(out));
        }
    }
}

TEST_F(RenderTest, ACancelledExportLeavesNoTemporaryFiles) {
    test::writeTone(dir / "long.wav", 8, 60.0);
    importFile(dir / "long.wav");
    renderAndWait(true);
    ASSERT_TRUE(state->previewCurrent());
    const auto outFolder = dir / "exports";
    std::filesystem::create_directories(outFolder);
    state->setExportBits(24);
    state->exportTo(outFolder / "out.wav");
    ASSERT_TRUE(waitUntil([&] { return state->progress() > 0; }));
    state->cancel();
    ASSERT_TRUE(waitUntil([&] { return !state->busy(); }));
    EXPECT_EQ(state->status(), "Export cancelled");
    EXPECT_TRUE(std::filesystem::is_empty(outFolder));
    for (const auto& entry : std::filesystem::directory_iterator(state->workspace())) {
        EXPECT_NE(entry.path().filename().string().rfind("export-", 0), 0u) << entry.path();
    }
}

TEST_F(RenderTest, PlaybackAndMeasurementUseTheRightFramesOfEachKindOfRender) {
    test::writeTone(dir / "take.wav", 2, 6.0);
    importFile(dir / "take.wav");
    enableModel();
    state->setRange(1, 3);
    renderAndWait(false);  // a selection render: the restoration is the selection itself
    const auto selection = state->monitorPlan(2.0);
    EXPECT_EQ(selection.source, *state->restorationURL());
    EXPECT_EQ(selection.range, (AudioFrameRange{48000, 96000}));  // 2 s = 1 s into the file
    EXPECT_EQ(selection.normalizationRange, (AudioFrameRange{0, 96000}));
    EXPECT_FALSE(selection.comparedRange);
    state->measureLoudness();
    ASSERT_TRUE(waitUntil([&] { return !state->busy(); }));
    EXPECT_EQ(state->status(), "Loudness analysis complete");
    EXPECT_TRUE(state->loudnessCurrent());

    renderAndWait(true);  // a full-file render, the selection kept
    ASSERT_TRUE(state->previewPlayable());
    const auto full = state->monitorPlan();
    EXPECT_EQ(full.source, *state->restorationURL());
    EXPECT_EQ(full.range, (AudioFrameRange{48000, 144000}));  // the selection's frames
    EXPECT_EQ(full.comparedRange, state->previewRange());
    EXPECT_FALSE(state->loudness());  // a render clears the measurement
}

TEST_F(RenderTest, ExportNamesThatAreNotWAVAreRefused) {
    test::writeTone(dir / "take.wav", 2, 1.0);
    importFile(dir / "take.wav");
    renderAndWait(true);
    ASSERT_TRUE(state->previewCurrent());
    // A name of another kind would label a WAV file falsely, here over an existing MP3.
    corvaline::test::writeFile(dir / "take.mp3", "an mp3 the user keeps");
    for (const char* name : {"take.mp3", "take.final"}) {
        state->setError(std::nullopt);
        state->exportTo(dir / name);
        EXPECT_FALSE(state->busy()) << name;
        ASSERT_TRUE(state->error()) << name;
        EXPECT_EQ(state->error()->toStdString(),
                  std::string("Could not export “") + name +
                      "”: exports are WAV files, so the name must end in .wav.");
        EXPECT_FALSE(std::filesystem::exists(dir / "take.final"));
    }
    EXPECT_EQ(corvaline::test::readFile(dir / "take.mp3"), "an mp3 the user keeps");
    // Any case of .wav, and .bwf, are WAV names.
    state->setError(std::nullopt);
    state->exportTo(dir / "Take Two.WAV");
    ASSERT_TRUE(waitUntil([&] { return !state->busy(); }));
    EXPECT_FALSE(state->error());
    EXPECT_EQ(state->status(), "Exported Take Two.WAV");
    EXPECT_EQ(AudioIO::open(dir / "Take Two.WAV")->length(), 48000);
}

}  // namespace
}  // namespace corvaline::app
