// The live monitor under load: 16 channels through the whole finishing chain while every core
// also runs a busy thread. The audio path takes no lock and the queue keeps blocks ahead, so
// playback must finish cleanly; the underrun frames are reported, not asserted (they depend on
// the machine).

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <numbers>
#include <thread>
#include <vector>

#include "TestSupport.hpp"
#include "audiocore/files/AudioIO.hpp"
#include "audiocore/monitor/MonitorPlan.hpp"
#include "playback/LiveMonitor.hpp"

namespace corvaline {
namespace {

using namespace std::chrono_literals;

TEST(LiveMonitorStress, SixteenChannelsFullChainWithEveryCoreBusy) {
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    test::TempDir dir;
    const auto source = dir / "sixteen.wav";
    constexpr int kChannels = 16;
    constexpr double kRate = 48000;
    constexpr uint32_t kFrames = uint32_t(kRate * 2);
    {
        auto writer = AudioIO::writer(source, kRate, kChannels, 32);
        AudioBuffer block(kChannels, kFrames);
        uint32_t noise = 1;
        for (int c = 0; c < kChannels; ++c) {
            for (uint32_t i = 0; i < kFrames; ++i) {
                noise = noise * 1664525u + 1013904223u;
                const double t = double(i) / kRate;
                const double voice = std::sin(2 * std::numbers::pi * (150 + 10 * c) * t) *
                                     (0.5 + 0.5 * std::sin(2 * std::numbers::pi * 3 * t));
                block.channel(c)[i] =
                    float(0.4 * voice + 0.02 * (double(noise) / 2147483648.0 - 1.0));
            }
        }
        block.setFrameLength(kFrames);
        writer->write(block);
        writer->close();
    }

    MonitorPlan plan{
        .source = source, .channels = std::vector<ChannelSettings>(kChannels), .reference = source};
    plan.settings.levelerEnabled = true;
    plan.settings.bleedEnabled = true;
    plan.settings.bleedMode = LavBleedMode::interview;
    plan.settings.normalizationEnabled = true;
    plan.settings.makeup = 6;
    for (auto& band : plan.settings.eqBands)
        band.enabled = true;

    std::atomic<bool> done = false;
    std::vector<std::thread> busy;
    for (unsigned i = 0; i < std::max(1u, std::thread::hardware_concurrency()); ++i) {
        busy.emplace_back([&done] {
            volatile double sink = 0;
            while (!done.load(std::memory_order_relaxed)) {
                for (int k = 0; k < 10000; ++k)
                    sink = sink + std::sqrt(double(k));
            }
        });
    }

    LiveMonitor::Statistics statistics;
    LiveMonitor::Snapshot snapshot;
    {
        LiveMonitor monitor(plan.makeStream());
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        while (!monitor.snapshot().finished && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(20ms);
            // The owner's reads (position, meters, counters) run alongside the audio path.
            (void)monitor.currentTime();
            (void)monitor.statistics();
        }
        snapshot = monitor.snapshot();
        statistics = monitor.statistics();
    }
    done = true;
    for (auto& thread : busy)
        thread.join();

    EXPECT_TRUE(snapshot.finished);
    EXPECT_FALSE(snapshot.error) << *snapshot.error;
    EXPECT_EQ(statistics.blocks,
              (kFrames + LiveMonitor::kBlockFrames - 1) / LiveMonitor::kBlockFrames);
    ASSERT_EQ(snapshot.channels.size(), size_t(kChannels));
    RecordProperty("underrunFrames", std::to_string(statistics.underrunFrames));
    std::printf(
        "16 channels, full chain, %zu busy threads: %lld underrun frames, queue CPU %.3f s "
        "for %.1f s of audio\n",
        busy.size(), static_cast<long long>(statistics.underrunFrames), statistics.streamCpuSeconds,
        double(kFrames) / kRate);
}

}  // namespace
}  // namespace corvaline
