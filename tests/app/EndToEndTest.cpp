// The whole application core headless, as a user would drive it: open the demo, select a
// passage, render a preview with an identity DeepFilterNet stand-in, play Processed for a
// second through SDL's disk driver and check what was played, render the full file, export
// 24-bit, and compare the export with the command line's render of the same settings.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "AppTestSupport.hpp"
#include "TestSupport.hpp"
#include "audiocore/files/AudioIO.hpp"
#include "audiocore/monitor/MonitorPlan.hpp"
#include "core/models/ModelManager.hpp"
#include "core/monitoring/MonitorController.hpp"
#include "core/state/AppState.hpp"

namespace corvaline::app {
namespace {

using test::waitUntil;

// Every sample of a file, channel after channel.
std::vector<std::vector<float>> samples(const std::filesystem::path& path) {
    auto file = AudioIO::open(path);
    std::vector<std::vector<float>> out(size_t(file->channelCount()));
    AudioBuffer block(file->channelCount(), 8192);
    while (file->read(block, 8192) > 0) {
        for (int c = 0; c < file->channelCount(); ++c) {
            out[size_t(c)].insert(out[size_t(c)].end(), block.channel(c),
                                  block.channel(c) + block.frameLength());
        }
    }
    return out;
}

TEST(EndToEndTest, DemoSelectionPreviewPlaybackAndExportMatchTheCommandLine) {
    corvaline::test::TempDir dir;
    const auto played = dir / "played.raw";
    setenv("TMPDIR", dir.path().c_str(), 1);
    setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", played.c_str(), 1);
    test::installIdentityEngine(dir / "data" / "Corvaline", dir / "calls.txt");

    ModelManager models;  // the default model folder: $XDG_DATA_HOME/Corvaline
    ASSERT_TRUE(models.isReady("dfn3"));
    AppState state(&models);
    state.demo();
    ASSERT_TRUE(waitUntil([&] { return !state.busy(); }));
    ASSERT_EQ(state.files().size(), 1u);
    const AudioInfo demo = state.files()[0];

    // Select 2-6 s and render a preview with the model.
    auto settings = state.settings();
    settings.isolation = true;
    settings.modelID = "dfn3";
    state.editSettings(settings);
    state.setRange(2, 6);
    state.render(false);
    EXPECT_EQ(state.status(), "Isolating voice locally");
    ASSERT_TRUE(waitUntil([&] { return !state.busy(); }));
    ASSERT_FALSE(state.error()) << state.error()->toStdString();
    EXPECT_EQ(state.status(), "Selection preview ready");
    ASSERT_TRUE(state.processed());
    EXPECT_EQ(state.preview()->frameCount, 4 * 48000);

    // Play Processed for a second.
    state.play();
    ASSERT_TRUE(waitUntil([&] { return state.isPlaying() || !state.busy(); }));
    ASSERT_TRUE(state.isPlaying()) << (state.error() ? state.error()->toStdString() : "");
    test::spin(std::chrono::milliseconds(1000));
    EXPECT_GT(state.time(), 2.3);
    state.stop();
    state.monitorController().flush();  // the output is closed: the file is complete

    // What the device received is what the monitor plan streams, sample for sample.
    const std::string bytes = corvaline::test::readFile(played);
    const size_t frames = bytes.size() / (2 * sizeof(float));
    ASSERT_GT(frames, 24000u);
    std::vector<float> device(frames * 2);
    std::memcpy(device.data(), bytes.data(), device.size() * sizeof(float));
    // SDL plays whole device periods (1024 frames) of silence while a fresh device starts.
    size_t first = 0;
    while (first < device.size() && device[first] == 0)
        ++first;
    const size_t lead = first / 2 / 1024 * 1024;
    EXPECT_LE(lead, 2048u);
    device.erase(device.begin(), device.begin() + std::ptrdiff_t(2 * lead));
    auto stream = state.monitorPlan(2.0).makeStream();
    size_t compared = 0;
    while (compared < frames - lead) {
        auto block = stream->next(1024);
        if (!block) break;
        for (uint32_t i = 0; i < block->audio.frameLength() && compared < frames - lead;
             ++i, ++compared) {
            ASSERT_EQ(device[2 * compared], block->audio.channel(0)[i]) << compared;
            ASSERT_EQ(device[2 * compared + 1], block->audio.channel(1)[i]) << compared;
        }
    }
    EXPECT_GT(compared, 24000u);

    // Full-file render, then a 24-bit export.
    state.render(true);
    ASSERT_TRUE(waitUntil([&] { return !state.busy(); }));
    ASSERT_EQ(state.status(), "Full-file render ready");
    state.setExportBits(24);
    const auto exported = dir / "app.wav";
    state.exportTo(exported);
    EXPECT_EQ(state.status(), "Exporting 24-bit WAV");
    ASSERT_TRUE(waitUntil([&] { return !state.busy(); }));
    ASSERT_EQ(state.status(), "Exported app.wav") << state.error()->toStdString();

    const auto cli = dir / "cli.wav";
    const auto result = corvaline::test::runShell(
        corvaline::test::shellQuote(corvaline::test::cliProgram().string()) + " render " +
        corvaline::test::shellQuote(demo.url.string()) + " -o " +
        corvaline::test::shellQuote(cli.string()) + " --model dfn3 --bits 24 2>&1");
    ASSERT_EQ(result.status, 0) << result.output;
    const auto app = samples(exported);
    const auto reference = samples(cli);
    ASSERT_EQ(app.size(), 4u);
    ASSERT_EQ(app.size(), reference.size());
    for (size_t c = 0; c < app.size(); ++c) {
        ASSERT_EQ(app[c].size(), size_t(demo.frameCount));
        EXPECT_EQ(app[c], reference[c]) << "channel " << c;
    }
    state.shutdown();
    unsetenv("XDG_DATA_HOME");
    unsetenv("TMPDIR");
}

}  // namespace
}  // namespace corvaline::app
