// Live monitor stream throughput, as a multiple of real time ("realtime" counter: seconds of
// audio delivered per second of wall time), pulling the live player's 1024-frame blocks from
// a MonitorStream over a DSPStream of a 48 kHz file, with the full finishing chain (leveler,
// lav bleed suppression, EQ, compressor, true-peak limiter) and a dual-mono listening mix.
// 1 / realtime is the fraction of one core the monitor queue needs while playing.

#include <benchmark/benchmark.h>

#include <cmath>
#include <filesystem>
#include <numbers>
#include <random>

#include "audiocore/files/AudioIO.hpp"
#include "audiocore/monitor/MonitorPlan.hpp"
#include "audiocore/platform/Paths.hpp"
#include "audiocore/platform/Uuid.hpp"

using namespace corvaline;

namespace {

constexpr double kRate = 48000;
constexpr uint32_t kSeconds = 10;

std::filesystem::path recording(int channels) {
    const auto path =
        paths::temporaryFolder() / ("corvaline-bench-monitor-" + newUuidString() + ".wav");
    auto writer = AudioIO::writer(path, kRate, channels, 32);
    AudioBuffer block(channels, 48000);
    std::mt19937 rng(7);
    std::normal_distribution<double> noise(0, 0.05);
    for (uint32_t second = 0; second < kSeconds; ++second) {
        for (int c = 0; c < channels; ++c) {
            for (uint32_t i = 0; i < 48000; ++i) {
                const double t = double(second) + double(i) / kRate;
                block.channel(c)[i] =
                    float(0.3 * std::sin(2 * std::numbers::pi * (180 + 40 * c) * t) + noise(rng));
            }
        }
        block.setFrameLength(48000);
        writer->write(block);
    }
    writer->close();
    return path;
}

void fullChain(benchmark::State& state) {
    const int channels = int(state.range(0));
    const auto path = recording(channels);
    ProcessingSettings settings;
    settings.levelerEnabled = true;
    settings.bleedEnabled = true;
    MonitorPlan plan{.source = path,
                     .settings = settings,
                     .channels = std::vector<ChannelSettings>(size_t(channels)),
                     .reference = path};
    auto stream = plan.makeStream();
    int64_t frames = 0;
    for (auto _ : state) {
        auto block = stream->next(1024);
        if (!block) {
            state.PauseTiming();
            stream = plan.makeStream();
            state.ResumeTiming();
            continue;
        }
        frames += block->audio.frameLength();
        benchmark::DoNotOptimize(block->audio.channel(0));
    }
    state.counters["realtime"] =
        benchmark::Counter(double(frames) / kRate, benchmark::Counter::kIsRate);
    std::filesystem::remove(path);
}

}  // namespace

BENCHMARK(fullChain)->Arg(2)->Arg(16)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
