// Feature front end of the speech-restoration predictor on one ten-second 16 kHz window,
// and the window walk's own cost (resampling, cropping, seams, file I/O) per minute of audio
// with a restoration that costs nothing. Throughput is printed as a multiple of real time.

#include <benchmark/benchmark.h>

#include <cmath>
#include <filesystem>
#include <random>

#include "audiocore/files/AudioIO.hpp"
#include "audiocore/platform/Paths.hpp"
#include "audiocore/platform/Uuid.hpp"
#include "audiocore/restoration/SidonTimeline.hpp"
#include "sidondsp/SeamlessM4TFrontEnd.hpp"

using namespace corvaline;

static void featuresTenSeconds(benchmark::State& state) {
    std::mt19937 rng(1);
    std::normal_distribution<float> noise(0.0f, 0.1f);
    std::vector<float> window(160000);
    for (float& v : window)
        v = noise(rng);
    for (auto _ : state) {
        auto features = SeamlessM4TFrontEnd::inputFeatures(window);
        benchmark::DoNotOptimize(features.features.data());
    }
    state.counters["x_realtime"] =
        benchmark::Counter(10.0 * double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(featuresTenSeconds)->Unit(benchmark::kMillisecond)->UseRealTime();

static void walkOneMinute(benchmark::State& state) {
    const double rate = double(state.range(0));
    const auto quality = state.range(1) ? SidonQuality::careful : SidonQuality::standard;
    const auto folder = paths::temporaryFolder() / ("corvaline-bench-" + newUuidString());
    std::filesystem::create_directories(folder);
    {
        const auto frames = uint32_t(60 * rate);
        AudioBuffer block(1, frames);
        for (uint32_t n = 0; n < frames; ++n)
            block.channel(0)[n] = float(0.1 * std::sin(0.05 * n));
        block.setFrameLength(frames);
        auto writer = AudioIO::writer(folder / "in.wav", rate, 1, 32);
        writer->write(block);
        writer->close();
    }
    const SidonTimeline::Transform silent = [](const std::vector<float>&, int64_t, int64_t,
                                               double) { return std::vector<float>(479014, 0.0f); };
    for (auto _ : state) {
        SidonTimeline::renderContext(folder / "in.wav", folder / "out.wav", quality, silent);
    }
    std::filesystem::remove_all(folder);
    state.counters["x_realtime"] =
        benchmark::Counter(60.0 * double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(walkOneMinute)
    ->ArgsProduct({{16000, 44100, 48000}, {0, 1}})
    ->ArgNames({"rate", "careful"})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2)
    ->UseRealTime();

BENCHMARK_MAIN();
