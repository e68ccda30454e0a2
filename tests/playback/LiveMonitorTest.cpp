// LiveMonitor on SDL's disk driver, which writes exactly what was played to a file.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "TestSupport.hpp"
#include "audiocore/files/AudioIO.hpp"
#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/monitor/MonitorPlan.hpp"
#include "playback/AudioEngine.hpp"
#include "playback/LiveMonitor.hpp"

namespace corvaline {
namespace {

using namespace std::chrono_literals;

// A stereo source whose frame i reads ((i + 1) / 65536) x level(block) on the left and its
// negative on the right: every frame is unique, so gaps, repeats and reordering show. It can
// fail at a chosen call and hold a chosen call until released.
struct Control {
    std::atomic<int> calls = 0;
    int failAt = -1;  ///< 1-based call of next() that throws
    int holdAt = -1;  ///< 1-based call of next() that waits for release()
    std::function<float(int)> level = [](int) { return 1.0f; };  ///< per block index
    std::mutex mutex;
    std::condition_variable changed;
    bool holding = false;
    bool released = false;

    void release() {
        std::lock_guard lock(mutex);
        released = true;
        changed.notify_all();
    }
    bool waitUntilHolding(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return holding; });
    }
};

class TestSource final : public MonitorSource {
  public:
    TestSource(std::shared_ptr<Control> control, int64_t frames, double rate)
        : control_(std::move(control)), frames_(frames), rate_(rate) {}
    double sampleRate() const override { return rate_; }
    int channelCount() const override { return 2; }
    int64_t length() const override { return frames_; }
    bool exhausted() const override { return position_ >= frames_; }
    bool next(AudioBuffer& into, uint32_t capacity) override {
        const int call = ++control_->calls;
        if (call == control_->holdAt) {
            std::unique_lock lock(control_->mutex);
            control_->holding = true;
            control_->changed.notify_all();
            control_->changed.wait(lock, [&] { return control_->released; });
        }
        if (call == control_->failAt)
            throw AudioFailure("Audio ended before its declared frame count.");
        const auto n = uint32_t(std::min<int64_t>(capacity, frames_ - position_));
        const float level = control_->level(call - 1);
        for (uint32_t i = 0; i < n; ++i) {
            const float v = float(position_ + i + 1) / 65536.0f * level;
            into.channel(0)[i] = v;
            into.channel(1)[i] = -v;
        }
        into.setFrameLength(n);
        position_ += n;
        return n > 0;
    }
    void update(const ProcessingSettings&, const std::vector<ChannelSettings>&) override {}

  private:
    std::shared_ptr<Control> control_;
    int64_t frames_;
    double rate_;
    int64_t position_ = 0;
};

class LiveMonitorTest : public ::testing::Test {
  protected:
    test::TempDir dir;
    std::filesystem::path output = dir / "played.raw";
    std::shared_ptr<Control> control = std::make_shared<Control>();

    void SetUp() override {
        setenv("SDL_AUDIODRIVER", "disk", 1);
        setenv("SDL_DISKAUDIOFILE", output.c_str(), 1);
    }

    std::unique_ptr<MonitorStream> stream(int64_t frames, double rate = 16000, double gain = 1) {
        return std::make_unique<MonitorStream>(std::make_unique<TestSource>(control, frames, rate),
                                               std::vector<ChannelSettings>{}, gain);
    }

    static bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (!condition()) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(2ms);
        }
        return true;
    }

    // The interleaved floats the device received (read after the engine has stopped).
    std::vector<float> played() const {
        const std::string bytes = test::readFile(output);
        std::vector<float> samples(bytes.size() / sizeof(float));
        std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
        return samples;
    }

    // Frame i of the test source at `level`, left channel.
    static float frame(int64_t i, float level = 1) { return float(i + 1) / 65536.0f * level; }

    // Frames of silence before the programme. SDL plays silence while a freshly opened device
    // is still paused, so up to a couple of device periods may precede the first block; the
    // first callback already carries it.
    static int64_t leadIn(const std::vector<float>& samples) {
        size_t k = 0;
        while (k < samples.size() && samples[k] == 0)
            ++k;
        return int64_t(k / 2);
    }

    // Checks that `samples` hold, after the device's lead-in, exactly `frames` source frames
    // (level per 1024-frame block) and only silence after them.
    void expectProgramme(
        const std::vector<float>& samples, int64_t frames,
        const std::function<float(int)>& level = [](int) { return 1.0f; }) {
        const int64_t lead = leadIn(samples);
        EXPECT_LE(lead, 2 * 1024);
        EXPECT_EQ(lead % 1024, 0);
        ASSERT_GE(samples.size(), size_t((lead + frames) * 2));
        const float* programme = samples.data() + 2 * lead;
        for (int64_t i = 0; i < frames; ++i) {
            const float v = frame(i, level(int(i / 1024)));
            if (programme[2 * i] != v || programme[2 * i + 1] != -v) {
                FAIL() << "frame " << i << " reads " << programme[2 * i] << " instead of " << v;
            }
        }
        for (size_t k = size_t((lead + frames) * 2); k < samples.size(); ++k) {
            if (samples[k] != 0) FAIL() << "sound after the end at sample " << k;
        }
    }
};

TEST_F(LiveMonitorTest, TheOutputIsExactlyTheBlocksInOrder) {
    const int64_t frames = 12 * 1024 + 300;
    std::mutex tapMutex;
    std::vector<float> tapped;
    LiveMonitor monitor(stream(frames), [&](const AudioBuffer& buffer) {
        std::lock_guard lock(tapMutex);
        for (uint32_t i = 0; i < buffer.frameLength(); ++i) {
            tapped.push_back(buffer.channel(0)[i]);
            tapped.push_back(buffer.channel(1)[i]);
        }
    });
    EXPECT_NEAR(monitor.duration(), double(frames) / 16000, 1e-12);
    ASSERT_TRUE(waitFor([&] { return monitor.snapshot().finished; }, 10s));
    EXPECT_NEAR(monitor.currentTime(), monitor.duration(), 1e-12);
    const auto statistics = monitor.statistics();
    monitor.stop();
    EXPECT_EQ(control->calls.load(), 13);  // 13 blocks, none pulled after the last
    EXPECT_EQ(statistics.blocks, 13);
    EXPECT_EQ(statistics.underrunFrames, 0);
    ASSERT_TRUE(statistics.startupSeconds);
    expectProgramme(played(), frames);
    // The tap saw the same output (up to where it was last delivered).
    std::lock_guard lock(tapMutex);
    ASSERT_GE(tapped.size(), size_t(frames * 2));
    expectProgramme(tapped, frames);
}

TEST_F(LiveMonitorTest, PlaysWhatTheFinishingChainRenders) {
    // A 48 kHz stereo recording through the default chain: the device receives exactly the
    // blocks the same plan yields when pulled offline.
    const auto source = dir / "speech.wav";
    {
        AudioBuffer audio(2, 24000);
        audio.setFrameLength(24000);
        for (uint32_t i = 0; i < 24000; ++i) {
            audio.channel(0)[i] =
                float(0.8 * std::sin((i + 1000) * 0.05) * std::sin((i + 1000) * 0.0007));
            audio.channel(1)[i] = float(0.3 * std::sin((i + 1000) * 0.011));
        }
        auto writer = AudioIO::writer(source, 48000, 2, 32);
        writer->write(audio);
        writer->close();
    }
    const MonitorPlan plan{.source = source, .channels = {{}, {}}, .reference = source};
    std::vector<float> expected;
    auto offline = plan.makeStream();
    while (auto block = offline->next(LiveMonitor::kBlockFrames)) {
        for (uint32_t i = 0; i < block->audio.frameLength(); ++i) {
            expected.push_back(block->audio.channel(0)[i]);
            expected.push_back(block->audio.channel(1)[i]);
        }
    }
    LiveMonitor monitor(plan.makeStream());
    ASSERT_TRUE(waitFor([&] { return monitor.snapshot().finished; }, 10s));
    EXPECT_GT(monitor.snapshot().compressorReduction, 0);
    monitor.stop();
    const auto all = played();
    const std::vector<float> samples(all.begin() + 2 * leadIn(all), all.end());
    ASSERT_GE(samples.size(), expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), samples.begin()));
    EXPECT_TRUE(std::all_of(samples.begin() + ptrdiff_t(expected.size()), samples.end(),
                            [](float v) { return v == 0; }));
}

TEST_F(LiveMonitorTest, AStreamShorterThanThePrefillFinishes) {
    LiveMonitor monitor(stream(1500));
    EXPECT_EQ(control->calls.load(), 2);  // everything was scheduled during construction
    ASSERT_TRUE(waitFor([&] { return monitor.snapshot().finished; }, 5s));
    const auto snapshot = monitor.snapshot();
    // The meters are those of the last block (frames 1024...1499 peak at 1500 / 65536).
    EXPECT_NEAR(snapshot.output[0], meterDB(1500.0 / 65536), 1e-6);
    EXPECT_NEAR(snapshot.output[1], meterDB(1500.0 / 65536), 1e-6);
    EXPECT_EQ(snapshot.channels.size(), 2u);
    EXPECT_FALSE(snapshot.error);
    monitor.stop();
    expectProgramme(played(), 1500);
}

TEST_F(LiveMonitorTest, AnEmptyStreamIsFinishedAtOnce) {
    LiveMonitor monitor(stream(0));
    EXPECT_TRUE(monitor.snapshot().finished);
    EXPECT_EQ(monitor.currentTime(), 0);
}

TEST_F(LiveMonitorTest, StopRightAfterConstructionFreezesEverything) {
    LiveMonitor monitor(stream(100 * 1024, 8000));
    monitor.stop();
    const auto snapshot = monitor.snapshot();
    const int calls = control->calls.load();
    std::this_thread::sleep_for(400ms);  // three device periods at 8 kHz
    EXPECT_EQ(monitor.snapshot(), snapshot);
    EXPECT_EQ(control->calls.load(), calls);
    EXPECT_LE(calls, 4);
    EXPECT_FALSE(snapshot.finished);
    EXPECT_EQ(monitor.currentTime(), 0);
}

TEST_F(LiveMonitorTest, CompletionsArrivingAfterStopChangeNothing) {
    // At 8 kHz a device period is 128 ms. Block 1 plays at once and its completion pulls call 4,
    // which is held. stop() then waits behind it on the queue while blocks 2 and 3 play and
    // their completions queue up behind stop(): they must find the monitor stopped.
    control->holdAt = 4;
    control->level = [](int block) { return 1.0f / float(block + 1); };
    LiveMonitor monitor(stream(100 * 1024, 8000));
    ASSERT_TRUE(control->waitUntilHolding(5s));
    std::thread stopper([&] { monitor.stop(); });
    std::this_thread::sleep_for(350ms);
    control->release();
    stopper.join();
    const auto snapshot = monitor.snapshot();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(monitor.snapshot(), snapshot);
    EXPECT_EQ(control->calls.load(), 4);
    // The snapshot still shows block 1: peak 1024 / 65536 at level 1.
    EXPECT_NEAR(snapshot.output[0], meterDB(1024.0 / 65536), 1e-6);
}

TEST_F(LiveMonitorTest, AGainUpdateIsHeardAfterTheQueuedBlocks) {
    const int64_t frames = 10 * 1024;
    LiveMonitor monitor(stream(frames, 16000));
    monitor.update(ProcessingSettings(), {}, 0.25);
    ASSERT_TRUE(waitFor([&] { return monitor.snapshot().finished; }, 10s));
    const auto last = monitor.snapshot();
    monitor.stop();
    const auto all = played();
    const std::vector<float> samples(all.begin() + 2 * leadIn(all), all.end());
    ASSERT_GE(samples.size(), size_t(frames * 2));
    // The level changes once, at a block boundary no earlier than the three queued blocks.
    int64_t change = -1;
    for (int64_t i = 0; i < frames; ++i) {
        if (samples[size_t(2 * i)] != frame(i)) {
            change = i;
            break;
        }
    }
    ASSERT_GE(change, 3 * 1024);
    EXPECT_EQ(change % 1024, 0);
    EXPECT_LE(change, 8 * 1024);  // the update is queued right after construction
    for (int64_t i = change; i < frames; ++i) {
        ASSERT_EQ(samples[size_t(2 * i)], frame(i) * 0.25f) << i;
    }
    EXPECT_NEAR(last.output[0], meterDB(double(frames) / 65536 * 0.25), 1e-6);
}

TEST_F(LiveMonitorTest, AStreamFailureMidPlayIsReportedThenFinishes) {
    control->failAt = 5;
    LiveMonitor monitor(stream(20 * 1024, 16000));
    ASSERT_TRUE(waitFor([&] { return monitor.snapshot().finished; }, 10s));
    const auto snapshot = monitor.snapshot();
    ASSERT_TRUE(snapshot.error);
    EXPECT_EQ(*snapshot.error, "Audio ended before its declared frame count.");
    EXPECT_EQ(control->calls.load(), 5);
    monitor.stop();
    // The four blocks pulled before the failure all played.
    expectProgramme(played(), 4 * 1024);
}

TEST_F(LiveMonitorTest, FailuresDuringConstructionEndIt) {
    control->failAt = 2;
    try {
        LiveMonitor monitor(stream(20 * 1024));
        FAIL() << "expected the stream's failure";
    } catch (const AudioFailure& e) {
        EXPECT_STREQ(e.what(), "Audio ended before its declared frame count.");
    }
    setenv("SDL_AUDIODRIVER", "no-such-driver", 1);
    control = std::make_shared<Control>();
    EXPECT_THROW(LiveMonitor monitor(stream(20 * 1024)), playback::AudioOutputError);
}

TEST_F(LiveMonitorTest, CurrentTimeMovesForwardWithinTheDuration) {
    LiveMonitor monitor(stream(8 * 1024, 16000));
    double last = 0;
    bool moved = false;
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (!monitor.snapshot().finished && std::chrono::steady_clock::now() < end) {
        const double now = monitor.currentTime();
        EXPECT_GE(now, last);
        EXPECT_LE(now, monitor.duration());
        moved = moved || now > 0;
        last = now;
        std::this_thread::sleep_for(3ms);
    }
    EXPECT_TRUE(moved);
    EXPECT_EQ(monitor.currentTime(), monitor.duration());
    monitor.stop();
    EXPECT_EQ(monitor.currentTime(), 0);
}

}  // namespace
}  // namespace corvaline
