// Batch delivery to EBU R 128: a day's files rendered into a folder by `corvaline-cli render
// -d`, two at a time and one after another, against the `ffmpeg` program's two-pass loudnorm
// of the same files (one after another), all in one run.
//
// Reports, per mode, the audio rendered as a multiple of real time ("realtime": seconds of
// audio per second of wall time) and the CPU seconds the children used ("cpu_s"). The batch
// holds CORVALINE_BENCH_FILES stereo 48 kHz 24-bit files (default 20) of
// CORVALINE_BENCH_SECONDS seconds each (default 600). Nothing here asserts a timing.

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <regex>
#include <string>

#include "BenchSupport.hpp"
#include "audiocore/files/AudioIO.hpp"
#include "audiocore/platform/Paths.hpp"
#include "audiocore/platform/Uuid.hpp"

using namespace corvaline;
using bench::peakMB;
using bench::workspace;
namespace fs = std::filesystem;

namespace {

constexpr double kRate = 48000;

int fileCount() {
    return int(bench::environmentNumber("CORVALINE_BENCH_FILES", 20));
}
double fileSeconds() {
    return bench::environmentNumber("CORVALINE_BENCH_SECONDS", 600);
}

// Speech-like stereo programme around -30 LUFS: tones whose level moves every few hundred
// milliseconds, a different seed per file.
fs::path batch() {
    static fs::path folder;
    if (!folder.empty()) return folder;
    folder = workspace().folder / "in";
    fs::create_directories(folder);
    const auto frames = int64_t(fileSeconds() * kRate);
    AudioBuffer block(2, 48000);
    for (int n = 0; n < fileCount(); ++n) {
        auto writer = AudioIO::writer(folder / ("take" + std::to_string(n) + ".wav"), kRate, 2, 24);
        uint32_t state = 1234u + uint32_t(n);
        for (int64_t at = 0; at < frames; at += 48000) {
            const auto count = uint32_t(std::min<int64_t>(48000, frames - at));
            for (uint32_t i = 0; i < count; ++i) {
                const int64_t t = at + i;
                if (t % 14400 == 0) state = state * 1664525u + 1013904223u;
                const double level = std::pow(10.0, (-30 - double(state % 12)) / 20);
                const double x =
                    level * std::sin(2 * std::numbers::pi * (180 + n) * double(t) / kRate);
                block.channel(0)[i] = float(x);
                block.channel(1)[i] = float(0.8 * x);
            }
            block.setFrameLength(count);
            writer->write(block);
        }
        writer->close();
    }
    return folder;
}

void report(benchmark::State& state, double cpu) {
    const double seconds = fileSeconds() * fileCount();
    state.counters["realtime"] =
        benchmark::Counter(seconds * double(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["cpu_s"] = cpu;
    state.counters["files"] = fileCount();
}

void corvalineBatch(benchmark::State& state, int jobs) {
    const fs::path in = batch();
    const fs::path cli = paths::executableFolder() / "corvaline-cli";
    const fs::path out = workspace().folder / ("out-j" + std::to_string(jobs));
    double cpu = 0;
    for (auto _ : state) {
        const double before = bench::cpuSeconds(RUSAGE_CHILDREN);
        bench::runCommand("'" + cli.string() + "' render '" + in.string() + "' -d '" +
                          out.string() + "' --standard ebu-r128 --overwrite -j " +
                          std::to_string(jobs) + " 2>&1");
        cpu += bench::cpuSeconds(RUSAGE_CHILDREN) - before;
    }
    fs::remove_all(out);
    report(state, cpu);
}

void batchTwoJobs(benchmark::State& state) {
    corvalineBatch(state, 2);
}
void batchOneJob(benchmark::State& state) {
    corvalineBatch(state, 1);
}

std::string measured(const std::string& output, const std::string& key) {
    std::smatch match;
    const std::regex pattern("\"" + key + "\"\\s*:\\s*\"([^\"]+)\"");
    return std::regex_search(output, match, pattern) ? match[1].str() : "0";
}

void peerLoudnorm(benchmark::State& state) {
    const fs::path in = batch();
    const fs::path out = workspace().folder / "loudnorm";
    fs::create_directories(out);
    double cpu = 0;
    for (auto _ : state) {
        const double before = bench::cpuSeconds(RUSAGE_CHILDREN);
        for (int n = 0; n < fileCount(); ++n) {
            const std::string name = "take" + std::to_string(n) + ".wav";
            const std::string source = (in / name).string();
            const std::string first = bench::runCommand(
                "ffmpeg -nostats -hide_banner -i '" + source +
                "' -af loudnorm=I=-23:TP=-1:LRA=20:print_format=json -f null - 2>&1");
            bench::runCommand(
                "ffmpeg -nostats -hide_banner -y -i '" + source +
                "' -af loudnorm=I=-23:TP=-1:LRA=20:measured_I=" + measured(first, "input_i") +
                ":measured_TP=" + measured(first, "input_tp") +
                ":measured_LRA=" + measured(first, "input_lra") + ":measured_thresh=" +
                measured(first, "input_thresh") + ":offset=" + measured(first, "target_offset") +
                ":linear=true -ar 48000 -c:a pcm_s24le '" + (out / name).string() + "' 2>&1");
        }
        cpu += bench::cpuSeconds(RUSAGE_CHILDREN) - before;
    }
    fs::remove_all(out);
    report(state, cpu);
}

}  // namespace

BENCHMARK(batchTwoJobs)
    ->Name("delivery/ebu-r128/corvaline-j2")
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);
BENCHMARK(batchOneJob)
    ->Name("delivery/ebu-r128/corvaline-j1")
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);
BENCHMARK(peerLoudnorm)
    ->Name("delivery/ebu-r128/ffmpeg-loudnorm-two-pass")
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

BENCHMARK_MAIN();
