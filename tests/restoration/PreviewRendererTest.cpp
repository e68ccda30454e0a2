// PreviewRenderer and the export: an identity engine end to end against the chain alone,
// selection previews against the full-file render, the cleaned cache, and the export's steps.

#include "audiocore/restoration/PreviewRenderer.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>

#include "../finishing/FinishingFixtures.hpp"
#include "EngineStandIns.hpp"
#include "RestorationTestSupport.hpp"
#include "TestSupport.hpp"
#include "audiocore/files/AudioIO.hpp"
#include "audiocore/finishing/AudioDSP.hpp"
#include "audiocore/finishing/Export.hpp"
#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/platform/Cancellation.hpp"

namespace corvaline {
namespace {

namespace fs = std::filesystem;
using test::entries;
using test::failureOf;
using ::testing::ElementsAre;

/// A speech-like test signal: a tone bursting on and off, loud enough for the compressor and
/// the limiter to act.
test::Planes programme(int channels, size_t frames, float peak) {
    test::Planes planes(size_t(channels), std::vector<float>(frames, 0.0f));
    for (int c = 0; c < channels; ++c) {
        for (size_t i = 0; i < frames; ++i) {
            const double t = double(i) / 48000;
            const double envelope = 0.5 + 0.5 * std::sin(2 * M_PI * 1.3 * t + c);
            planes[size_t(c)][i] =
                float(peak * envelope * std::sin(2 * M_PI * (220 + 110 * c) * t));
        }
    }
    return planes;
}

class PreviewRendererTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(dir / "tmp");
        ::setenv("TMPDIR", (dir / "tmp").c_str(), 1);
        fs::create_directories(dir / "out");
    }
    void TearDown() override { ::unsetenv("TMPDIR"); }

    InferenceConfiguration identity() const {
        return InferenceConfiguration(test::deepFilterStandIn(dir / "engine"), dir / "model.tar.gz",
                                      std::nullopt, 24);
    }
    fs::path out(const std::string& name) const { return dir / "out" / name; }

    test::TempDir dir;
};

TEST_F(PreviewRendererTest, IdentityEngineEqualsTheChainAlone) {
    // Channel 1 peaks above full scale (pre-gain at work), channel 2 is processed at a normal
    // level, channel 3 is left alone.
    test::Planes planes = programme(3, 96000, 0.9f);
    for (auto& s : planes[0])
        s *= 1.7f;
    const auto source = dir / "source.wav";
    test::writeWave(source, planes);
    std::vector<ChannelSettings> channels(3);
    channels[2].process = false;
    const ProcessingSettings settings;  // EQ, compressor, limiter with true peak

    const AudioInfo info =
        PreviewRenderer::render(source, out("restored-full.wav"), std::nullopt, settings, channels,
                                identity(), WaveMetadata{}, out("cache.wav"));
    AudioDSP::render(source, out("chain.wav"), settings, channels, 32);
    EXPECT_EQ(info.frameCount, 96000);

    const auto restored = test::readWave(out("restored-full.wav"));
    const auto chain = test::readWave(out("chain.wav"));
    ASSERT_EQ(restored.size(), 3u);
    for (int c = 0; c < 2; ++c) {
        ASSERT_EQ(restored[size_t(c)].size(), chain[size_t(c)].size());
        for (size_t i = 0; i < chain[size_t(c)].size(); ++i)
            ASSERT_NEAR(restored[size_t(c)][i], chain[size_t(c)][i], 1e-6) << c << " " << i;
    }
    EXPECT_EQ(restored[2], planes[2]);  // untouched, bit for bit
    // The cleaned cache is the restoration: the source with the pre-gain undone.
    const auto cache = test::readWave(out("cache.wav"));
    for (size_t i = 0; i < 96000; i += 7)
        ASSERT_NEAR(cache[0][i], planes[0][i], 1e-6);
    EXPECT_EQ(cache[2], planes[2]);
    EXPECT_THAT(entries(dir / "out"), ElementsAre("cache.wav", "chain.wav", "restored-full.wav"));
}

TEST_F(PreviewRendererTest, SelectionLinesUpWithTheFullFileRender) {
    const test::Planes planes = programme(2, 4 * 48000, 0.8f);
    const auto source = dir / "source.wav";
    test::writeWave(source, planes);
    const std::vector<ChannelSettings> channels(2);
    const ProcessingSettings settings;
    const AudioFrameRange range{24000, 120000};  // 0.5 s to 2.5 s

    std::vector<double> progress;
    const AudioInfo selection = PreviewRenderer::render(
        source, out("selection.wav"), range, settings, channels, identity(), WaveMetadata{},
        out("cache.wav"), [&](double f) { progress.push_back(f); });
    EXPECT_EQ(selection.frameCount, range.count());
    // The engine saw the selection widened by one second each side (clipped at the start),
    // plus its half second of padding.
    EXPECT_EQ(AudioIO::open(dir / "engine" / "seen" / "channel-0.wav")->length(), 168000 + 24000);
    PreviewRenderer::render(source, out("full.wav"), std::nullopt, settings, channels, identity(),
                            WaveMetadata{}, std::nullopt);
    const auto part = test::readWave(out("selection.wav"));
    const auto full = test::readWave(out("full.wav"));
    for (int c = 0; c < 2; ++c) {
        ASSERT_EQ(part[size_t(c)].size(), size_t(range.count()));
        for (int64_t i = 0; i < range.count(); ++i)
            ASSERT_NEAR(part[size_t(c)][size_t(i)], full[size_t(c)][size_t(range.start + i)], 1e-6)
                << c << " " << i;
    }
    const auto cache = test::readWave(out("cache.wav"));
    ASSERT_EQ(cache[0].size(), size_t(range.count()));
    EXPECT_EQ(cache[1][0], planes[1][size_t(range.start)]);
    ASSERT_FALSE(progress.empty());
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
    EXPECT_DOUBLE_EQ(progress.back(), 1.0);
    EXPECT_THAT(entries(dir / "out"), ElementsAre("cache.wav", "full.wav", "selection.wav"));
}

TEST_F(PreviewRendererTest, ContextSidonBlendsAndOriginalMix) {
    ProcessingSettings careful;
    careful.sidonQuality = SidonQuality::careful;
    const auto sidon = InferenceConfiguration::sidon(dir / "no-model");
    const auto reference = InferenceConfiguration::sidonReference("python3", "model", "bridge");
    EXPECT_EQ(PreviewRenderer::contextFrames(sidon, careful, 48000), 144000);
    EXPECT_EQ(PreviewRenderer::contextFrames(sidon, ProcessingSettings{}, 48000), 48000);
    EXPECT_EQ(PreviewRenderer::contextFrames(reference, careful, 44100), 176400);
    EXPECT_EQ(PreviewRenderer::contextFrames(identity(), careful, 22050.5), 22050);
    EXPECT_EQ(PreviewRenderer::contextFrames(std::nullopt, careful, 48000), 48000);

    const test::Planes planes = programme(1, 3 * 48000, 0.5f);
    const auto source = dir / "source.wav";
    test::writeWave(source, planes);
    const std::vector<ChannelSettings> channels(1);

    // Sidon at 100 % original: no model runs (this one could not load), the cache holds the
    // original passage, and progress starts at 0.8.
    ProcessingSettings original = sidonPreset(0, SidonQuality::careful);
    const AudioFrameRange range{24000, 120000};
    std::vector<double> progress;
    const AudioInfo info = PreviewRenderer::render(source, out("a.wav"), range, original, channels,
                                                   sidon, WaveMetadata{}, out("cache.wav"),
                                                   [&](double f) { progress.push_back(f); });
    EXPECT_EQ(info.frameCount, range.count());
    ASSERT_FALSE(progress.empty());
    EXPECT_GE(progress.front(), 0.8);
    const auto cache = test::readWave(out("cache.wav"))[0];
    EXPECT_TRUE(std::equal(cache.begin(), cache.end(), planes[0].begin() + range.start));

    // An Original Mix outside 0...100 is refused for Sidon, not for the other engines.
    ProcessingSettings negative;
    negative.originalMix = -5;
    EXPECT_EQ(failureOf([&] {
                  PreviewRenderer::render(source, out("b.wav"), std::nullopt, negative, channels,
                                          sidon, WaveMetadata{}, std::nullopt);
              }),
              PreviewRenderer::originalMixMessage);
    negative.originalMix = NAN;
    EXPECT_EQ(failureOf([&] {
                  PreviewRenderer::render(source, out("b.wav"), range, negative, channels,
                                          reference, WaveMetadata{}, std::nullopt);
              }),
              PreviewRenderer::originalMixMessage);
    // DeepFilterNet runs first; only the finishing chain then refuses the value.
    negative.originalMix = -5;
    EXPECT_EQ(failureOf([&] {
                  PreviewRenderer::render(source, out("c.wav"), std::nullopt, negative, channels,
                                          identity(), WaveMetadata{}, std::nullopt);
              }),
              PreviewRenderer::originalMixMessage);
    EXPECT_TRUE(fs::exists(dir / "engine" / "seen" / "channel-0.wav"));

    // Without a configuration the full-file cache is a copy of the source.
    PreviewRenderer::render(source, out("d.wav"), std::nullopt, ProcessingSettings{}, channels,
                            std::nullopt, WaveMetadata{}, out("copy.wav"));
    EXPECT_EQ(test::readWave(out("copy.wav")), planes);

    // A range past the end fails as the range check says; nothing is left behind.
    EXPECT_EQ(failureOf([&] {
                  PreviewRenderer::render(source, out("e.wav"), AudioFrameRange{0, 200000},
                                          ProcessingSettings{}, channels, std::nullopt,
                                          WaveMetadata{}, std::nullopt);
              }),
              "The preview range extends beyond the recording.");
    EXPECT_THAT(entries(dir / "out"), ElementsAre("a.wav", "cache.wav", "copy.wav", "d.wav"));
}

TEST_F(PreviewRendererTest, SelectionWithNormalisationMeasuresOnlyTheSelection) {
    // A quiet first half and a loud second half: normalising the quiet selection lifts it to
    // the target, which a measurement over the context would not.
    test::Planes planes = programme(1, 4 * 48000, 0.05f);
    for (size_t i = 2 * 48000; i < planes[0].size(); ++i)
        planes[0][i] *= 16;
    const auto source = dir / "source.wav";
    test::writeWave(source, planes);
    ProcessingSettings settings = ProcessingSettings::bypass();
    settings.normalizationEnabled = true;
    settings.targetLUFS = -20;
    const AudioFrameRange range{24000, 72000};
    PreviewRenderer::render(source, out("norm.wav"), range, settings, {ChannelSettings{}},
                            identity(), WaveMetadata{}, std::nullopt);
    const auto quiet = test::readWave(out("norm.wav"))[0];
    ASSERT_EQ(quiet.size(), size_t(range.count()));
    const float peak = *std::max_element(quiet.begin(), quiet.end());
    EXPECT_GT(peak, 0.1f);  // lifted well above the source's 0.05
}

TEST_F(PreviewRendererTest, CancelledDuringTheEngineLeavesNothing) {
    const auto source = dir / "source.wav";
    test::writeWave(source, programme(1, 48000, 0.5f));
    const auto configuration = InferenceConfiguration(
        test::deepFilterStandIn(dir / "engine", "touch \"$in.started\"; exec sleep 30"),
        dir / "model", std::nullopt, 24);
    std::stop_source stop;
    std::thread canceller([&] {
        for (int i = 0; i < 400 && !fs::exists(dir / "engine" / "seen" / "channel-0.wav"); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        stop.request_stop();
    });
    EXPECT_THROW(PreviewRenderer::render(source, out("x.wav"), std::nullopt, ProcessingSettings{},
                                         {}, configuration, WaveMetadata{}, out("cache.wav"), {},
                                         stop.get_token()),
                 Cancelled);
    canceller.join();
    EXPECT_TRUE(entries(dir / "out").empty());
    EXPECT_TRUE(entries(dir / "tmp").empty());
}

TEST_F(PreviewRendererTest, ExportReplacesOnlyWhenComplete) {
    const test::Planes planes = programme(2, 48000, 0.9f);
    const auto source = dir / "source.wav";
    test::writeWave(source, planes);
    WaveMetadata metadata;
    metadata.chunks = {{"iXML", {'<', 'B', 'W', 'F', 'X', 'M', 'L', '/', '>'}}};

    AudioExport::Request request;
    request.restoration = source;
    request.sourceRecording = source;
    request.destination = out("export.wav");
    request.channels = std::vector<ChannelSettings>(2);
    request.metadata = metadata;
    request.bits = 24;
    request.workspace = dir / "tmp";
    test::writeFile(out("export.wav"), "an older export");
    std::vector<double> progress;
    AudioExport::exportRecording(request, [&](double f) { progress.push_back(f); });
    auto file = AudioIO::open(out("export.wav"));
    EXPECT_EQ(file->fileBitDepth(), 24);
    EXPECT_EQ(file->length(), 48000);
    EXPECT_EQ(WaveMetadata::read(out("export.wav")).chunks, metadata.chunks);
    ASSERT_FALSE(progress.empty());
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
    EXPECT_DOUBLE_EQ(progress.back(), 1.0);
    EXPECT_THAT(entries(dir / "out"), ElementsAre("export.wav"));
    EXPECT_TRUE(entries(dir / "tmp").empty());

    // Clipping in the float render refuses a 24-bit export and keeps the old file.
    const std::string before = test::readFile(out("export.wav"));
    request.settings = ProcessingSettings::bypass();
    request.settings.outputGain = 6;
    EXPECT_EQ(failureOf([&] { AudioExport::exportRecording(request); }),
              AudioExport::clippingMessage);
    EXPECT_EQ(test::readFile(out("export.wav")), before);
    request.bits = 32;  // float carries it
    AudioExport::exportRecording(request);
    EXPECT_EQ(AudioIO::open(out("export.wav"))->fileBitDepth(), 32);

    // The source, also through a link, and non-files are refused before any work.
    fs::create_symlink(source, out("link.wav"));
    for (const auto& target : {source, out("link.wav")}) {
        request.destination = target;
        EXPECT_EQ(failureOf([&] { AudioExport::exportRecording(request); }),
                  AudioExport::protectSourceMessage);
    }
    fs::create_directory(out("folder.wav"));
    request.destination = out("folder.wav");
    EXPECT_EQ(failureOf([&] { AudioExport::exportRecording(request); }),
              "Could not write \u201cfolder.wav\u201d: it is a folder, not a file. Choose a "
              "regular file name instead.");

    // Cancelled: nothing under the destination's name, no hidden files.
    request.destination = out("cancelled.wav");
    std::stop_source stop;
    stop.request_stop();
    EXPECT_THROW(AudioExport::exportRecording(request, {}, stop.get_token()), Cancelled);
    EXPECT_THAT(entries(dir / "out"), ElementsAre("export.wav", "folder.wav", "link.wav"));
    EXPECT_TRUE(entries(dir / "tmp").empty());
}

TEST_F(PreviewRendererTest, TwentyFourBitExportAcceptsFullScaleAndRefusesAboveIt) {
    for (const float peak : {1.0f, 1.0001f}) {
        const auto source = dir / "full-scale.wav";
        test::Planes planes = programme(1, 4800, 0.5f);
        planes[0][100] = peak;
        test::writeWave(source, planes);
        AudioExport::Request request;
        request.restoration = request.sourceRecording = source;
        request.destination = out("export.wav");
        request.settings = ProcessingSettings::bypass();
        request.channels = {ChannelSettings{}};
        request.bits = 24;
        if (peak == 1.0f) {
            AudioExport::exportRecording(request);
            EXPECT_NEAR(test::readWave(out("export.wav"))[0][100], 1.0f, 1e-6);
        } else {
            EXPECT_EQ(failureOf([&] { AudioExport::exportRecording(request); }),
                      AudioExport::clippingMessage);
        }
    }
    EXPECT_THAT(entries(dir / "out"), ElementsAre("export.wav"));
}

}  // namespace
}  // namespace corvaline
