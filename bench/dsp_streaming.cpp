// StreamingDSP throughput, reported as a multiple of real time ("realtime" counter: seconds of
// audio finished per second of wall time) at 48 kHz, in blocks of 4096 frames.

#include <benchmark/benchmark.h>

#include <cmath>
#include <numbers>
#include <random>

#include "audiocore/dsp/StreamingDSP.hpp"

using namespace corvaline;

namespace {

constexpr double kRate = 48000;
constexpr uint32_t kBlock = 4096;

void fill(AudioBuffer& block) {
    std::mt19937 rng(11);
    std::normal_distribution<double> noise(0, 0.05);
    for (int c = 0; c < block.channelCount(); ++c) {
        float* x = block.channel(c);
        for (uint32_t i = 0; i < block.capacity(); ++i) {
            const double t = double(i) / kRate;
            x[i] = float(0.3 * std::sin(2 * std::numbers::pi * (180 + 40 * c) * t) + noise(rng));
        }
    }
}

void run(benchmark::State& state, const ProcessingSettings& settings) {
    const int channels = int(state.range(0));
    StreamingDSP dsp(kRate, std::vector<ChannelSettings>(size_t(channels)), settings);
    AudioBuffer source(channels, kBlock), block(channels, kBlock);
    fill(source);
    source.setFrameLength(kBlock);
    for (auto _ : state) {
        block = source;  // same allocation each time: plane copies only
        dsp.process(block);
        benchmark::DoNotOptimize(block.channel(0));
    }
    state.counters["realtime"] = benchmark::Counter(double(state.iterations()) * kBlock / kRate,
                                                    benchmark::Counter::kIsRate);
}

ProcessingSettings defaultsWithLevelerAndBleed(LavBleedMode mode) {
    ProcessingSettings s;
    s.levelerEnabled = true;
    s.bleedEnabled = true;
    s.bleedMode = mode;
    return s;
}

void defaultChain(benchmark::State& state) {
    run(state, ProcessingSettings());
}
void levelerAndCorrelatedBleed(benchmark::State& state) {
    run(state, defaultsWithLevelerAndBleed(LavBleedMode::correlated));
}
void levelerAndInterviewAutomix(benchmark::State& state) {
    run(state, defaultsWithLevelerAndBleed(LavBleedMode::interview));
}

}  // namespace

BENCHMARK(defaultChain)->Arg(1)->Arg(2)->Arg(8)->Arg(64)->Unit(benchmark::kMillisecond);
BENCHMARK(levelerAndCorrelatedBleed)
    ->Arg(1)
    ->Arg(2)
    ->Arg(8)
    ->Arg(64)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(levelerAndInterviewAutomix)
    ->Arg(1)
    ->Arg(2)
    ->Arg(8)
    ->Arg(64)
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
