// Overhead of the restoration runner around an identity engine.
//
// LocalInference::enhance restores every channel of an 8-channel 48 kHz recording with a
// stand-in DeepFilterNet program that copies its input to its output, so the figure is what
// the runner itself costs: peak measurement, per-channel engine inputs, one child process per
// channel, output validation, the pre-gain undone and the assembly. Reported as a multiple of
// real time ("realtime"), per CPU second of the runner and its engine processes ("xCpu"), with
// the process's peak resident memory ("peak_MB"). A one-minute file runs first, then a
// ten-minute one (CORVALINE_BENCH_SECONDS overrides the length of the long one): equal peak
// memory shows that memory does not grow with length. Nothing here asserts a timing.

#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <string>

#include "BenchSupport.hpp"
#include "audiocore/files/AudioIO.hpp"
#include "audiocore/platform/Paths.hpp"
#include "audiocore/platform/Uuid.hpp"
#include "audiocore/restoration/LocalInference.hpp"

using namespace corvaline;
using bench::peakMB;
using bench::workspace;
namespace fs = std::filesystem;

namespace {

double longSeconds() {
    return bench::environmentNumber("CORVALINE_BENCH_SECONDS", 600);
}

constexpr double kRate = 48000;
constexpr int kChannels = 8;

// 32-bit float, a different tone per channel, one channel above full scale (pre-gain at work).
fs::path recording(double seconds) {
    const fs::path url = workspace().folder / ("source-" + std::to_string(int(seconds)) + "s.wav");
    if (fs::exists(url)) return url;
    auto writer = AudioIO::writer(url, kRate, kChannels, 32);
    AudioBuffer block(kChannels, 16384);
    const auto total = int64_t(seconds * kRate);
    for (int64_t at = 0; at < total; at += 16384) {
        const auto n = uint32_t(std::min<int64_t>(16384, total - at));
        for (int c = 0; c < kChannels; ++c) {
            float* x = block.channel(c);
            const double gain = c == 0 ? 1.5 : 0.5;
            for (uint32_t i = 0; i < n; ++i)
                x[i] = float(gain * std::sin(0.01 * (c + 1) * double(at + i)));
        }
        block.setFrameLength(n);
        writer->write(block);
    }
    writer->close();
    return url;
}

InferenceConfiguration identityEngine() {
    const fs::path program = workspace().folder / "deep-filter";
    std::ofstream(program) << "#!/bin/sh\n"
                              "while [ $# -gt 1 ]; do case \"$1\" in -o) dir=\"$2\"; shift 2;; "
                              "-m|-a) shift 2;; *) shift;; esac; done\n"
                              "exec cp \"$1\" \"$dir/\"\n";
    fs::permissions(program, fs::perms::owner_all);
    return InferenceConfiguration(program, workspace().folder / "model.tar.gz", std::nullopt, 24);
}

void enhance(benchmark::State& state, double seconds) {
    const fs::path source = recording(seconds);
    const fs::path out = workspace().folder / "restored.wav";
    const auto engine = identityEngine();
    const double cpuBefore = bench::cpuSeconds(RUSAGE_SELF) + bench::cpuSeconds(RUSAGE_CHILDREN);
    for (auto _ : state) {
        LocalInference::enhance(source, out, std::vector<ChannelSettings>(kChannels), engine,
                                SidonQuality::standard);
    }
    const double cpu =
        bench::cpuSeconds(RUSAGE_SELF) + bench::cpuSeconds(RUSAGE_CHILDREN) - cpuBefore;
    fs::remove(out);
    state.counters["realtime"] =
        benchmark::Counter(seconds * double(state.iterations()), benchmark::Counter::kIsRate);
    // Audio seconds per CPU second of the runner and its engine processes: what a machine with
    // a core to spare would reach, whatever else is running on this one.
    state.counters["xCpu"] = seconds * double(state.iterations()) / std::max(cpu, 1e-9);
    state.counters["peak_MB"] = peakMB();
}

void enhanceOneMinute(benchmark::State& state) {
    enhance(state, 60);
}
void enhanceLong(benchmark::State& state) {
    enhance(state, longSeconds());
}

}  // namespace

BENCHMARK(enhanceOneMinute)
    ->Name("enhance/8ch-identity-engine/1-minute")
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);
BENCHMARK(enhanceLong)
    ->Name("enhance/8ch-identity-engine/10-minutes")
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

BENCHMARK_MAIN();
