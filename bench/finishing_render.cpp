// Offline finishing throughput and memory, with the peers on the same file.
//
// Reports, as a multiple of real time ("realtime": seconds of audio per second of wall time)
// and with the process's peak resident memory ("peak_MB"):
//   - a full 24-bit render with loudness normalisation and true-peak verification (stereo),
//   - the same render of an 8-channel file (default chain, verified),
//   - an EBU R128 measurement of the stereo file,
//   - the `ffmpeg` program's ebur128=peak=true measurement of the same file, and its two-pass
//     loudnorm to the same target (-16 LUFS, -1 dBTP) into a 24-bit WAV.
// The stereo file lasts CORVALINE_BENCH_SECONDS seconds (default 3600), the 8-channel file a
// sixth of that. A second, shorter stereo render runs first, so that the peak memory of the two
// shows that memory does not grow with length. Nothing here asserts a timing.

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <numbers>
#include <regex>
#include <string>

#include "BenchSupport.hpp"
#include "audiocore/files/AudioIO.hpp"
#include "audiocore/finishing/AudioDSP.hpp"
#include "audiocore/finishing/LoudnessMeter.hpp"
#include "audiocore/platform/Paths.hpp"
#include "audiocore/platform/Uuid.hpp"

using namespace corvaline;
using bench::peakMB;
using bench::workspace;
namespace fs = std::filesystem;

namespace {

double benchSeconds() {
    return bench::environmentNumber("CORVALINE_BENCH_SECONDS", 3600);
}

constexpr double kRate = 48000;

// A speech-like 24-bit recording: voiced harmonics with syllables and pauses, a different
// voice per channel, generated block by block (memory stays flat).
fs::path recording(int channels, double seconds) {
    const fs::path url = workspace().folder / ("speech-" + std::to_string(channels) + "ch-" +
                                               std::to_string(int(seconds)) + "s.wav");
    if (fs::exists(url)) return url;
    auto writer = AudioIO::writer(url, kRate, channels, 24);
    AudioBuffer block(channels, 16384);
    const auto total = int64_t(seconds * kRate);
    for (int64_t at = 0; at < total; at += 16384) {
        const auto n = uint32_t(std::min<int64_t>(16384, total - at));
        for (int c = 0; c < channels; ++c) {
            float* x = block.channel(c);
            for (uint32_t i = 0; i < n; ++i) {
                const double t = double(at + i) / kRate;
                const double phrase = std::fmod(t, 7.0) < 5.5 ? 1.0 : 0.02;
                const double syllable =
                    0.15 + 0.85 * std::abs(std::sin(std::numbers::pi * 3.1 * t));
                double voice = 0;
                for (int k = 1; k <= 12; ++k) {
                    voice +=
                        std::sin(2 * std::numbers::pi * (120 + 15 * c) * k * t + 0.8 * k * k) / k;
                }
                x[i] = float(0.25 * phrase * syllable * voice);
            }
        }
        block.setFrameLength(n);
        writer->write(block);
    }
    writer->close();
    return url;
}

void report(benchmark::State& state, double seconds) {
    state.counters["realtime"] =
        benchmark::Counter(seconds * double(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["peak_MB"] = peakMB();
}

ProcessingSettings normalised() {
    ProcessingSettings settings;
    settings.normalizationEnabled = true;
    settings.targetLUFS = -16;
    settings.ceiling = -1;
    return settings;
}

void render(benchmark::State& state, int channels, double seconds,
            const ProcessingSettings& settings) {
    const fs::path source = recording(channels, seconds);
    const fs::path out = workspace().folder / "out.wav";
    for (auto _ : state) {
        AudioDSP::render(source, out, settings, std::vector<ChannelSettings>(size_t(channels)), 24);
    }
    fs::remove(out);
    report(state, seconds);
}

void renderStereoShort(benchmark::State& state) {
    render(state, 2, benchSeconds() / 6, normalised());
}
void renderStereo(benchmark::State& state) {
    render(state, 2, benchSeconds(), normalised());
}
void renderEightChannels(benchmark::State& state) {
    render(state, 8, benchSeconds() / 6, ProcessingSettings());
}

void loudness(benchmark::State& state) {
    const fs::path source = recording(2, benchSeconds());
    for (auto _ : state)
        benchmark::DoNotOptimize(LoudnessMeter::measure(source));
    report(state, benchSeconds());
}

void peerEbur128(benchmark::State& state) {
    const fs::path source = recording(2, benchSeconds());
    for (auto _ : state) {
        bench::runCommand("ffmpeg -nostats -hide_banner -i '" + source.string() +
                          "' -af ebur128=peak=true -f null - 2>&1");
    }
    report(state, benchSeconds());
}

std::string measured(const std::string& output, const std::string& key) {
    std::smatch match;
    const std::regex pattern("\"" + key + "\"\\s*:\\s*\"([^\"]+)\"");
    return std::regex_search(output, match, pattern) ? match[1].str() : "0";
}

void peerLoudnorm(benchmark::State& state) {
    const fs::path source = recording(2, benchSeconds());
    const fs::path out = workspace().folder / "loudnorm.wav";
    for (auto _ : state) {
        const std::string first =
            bench::runCommand("ffmpeg -nostats -hide_banner -i '" + source.string() +
                              "' -af loudnorm=I=-16:TP=-1:print_format=json -f null - 2>&1");
        bench::runCommand("ffmpeg -nostats -hide_banner -y -i '" + source.string() +
                          "' -af loudnorm=I=-16:TP=-1:measured_I=" + measured(first, "input_i") +
                          ":measured_TP=" + measured(first, "input_tp") +
                          ":measured_LRA=" + measured(first, "input_lra") +
                          ":measured_thresh=" + measured(first, "input_thresh") +
                          ":offset=" + measured(first, "target_offset") +
                          ":linear=true -ar 48000 -c:a pcm_s24le '" + out.string() + "' 2>&1");
    }
    fs::remove(out);
    report(state, benchSeconds());
}

}  // namespace

BENCHMARK(renderStereoShort)
    ->Name("render/stereo-24bit-normalised/sixth-length")
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);
BENCHMARK(renderStereo)
    ->Name("render/stereo-24bit-normalised")
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);
BENCHMARK(renderEightChannels)
    ->Name("render/8ch-24bit-default/sixth-length")
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);
BENCHMARK(loudness)
    ->Name("loudness/stereo")
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);
BENCHMARK(peerEbur128)
    ->Name("peer/ffmpeg-ebur128-peak")
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);
BENCHMARK(peerLoudnorm)
    ->Name("peer/ffmpeg-loudnorm-two-pass-24bit")
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

BENCHMARK_MAIN();
