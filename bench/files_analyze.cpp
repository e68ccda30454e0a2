// AudioIO::analyze throughput on a long 8-channel, 48 kHz, 24-bit WAV, as a multiple of real
// time and in MB/s, with the process's peak memory; and, as the peer figure on the same file,
// the ffmpeg program decoding it to the null muxer.
//
// CORVALINE_BENCH_MINUTES sets the long file's length (default 60). A 1-minute file is
// analysed first so that the peak memory of the two runs shows whether it grows with length.

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "audiocore/files/AudioIO.hpp"
#include "audiocore/platform/Paths.hpp"
#include "audiocore/platform/Uuid.hpp"

namespace fs = std::filesystem;
using namespace corvaline;

namespace {

constexpr int kChannels = 8;
constexpr double kRate = 48000.0;

double minutesFromEnvironment() {
    const char* text = std::getenv("CORVALINE_BENCH_MINUTES");
    const double minutes = text ? std::atof(text) : 60.0;
    return minutes > 0 ? minutes : 60.0;
}

double peakMegabytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_maxrss) / 1024.0;
}

class Fixture {
  public:
    ~Fixture() {
        std::error_code ec;
        fs::remove_all(folder_, ec);
    }
    // A 24-bit test file of `minutes`, made once per length.
    const fs::path& file(double minutes) {
        auto found = files_.find(minutes);
        if (found != files_.end()) return found->second;
        fs::create_directories(folder_);
        const fs::path path = folder_ / ("analyze-" + std::to_string(int(minutes * 60)) + "s.wav");
        auto out = AudioIO::writer(path, kRate, kChannels, 24);
        AudioBuffer block(kChannels, AudioIO::kBlockFrames);
        const auto total = int64_t(minutes * 60.0 * kRate);
        int64_t done = 0;
        while (done < total) {
            const auto n = uint32_t(std::min<int64_t>(AudioIO::kBlockFrames, total - done));
            for (int c = 0; c < kChannels; ++c) {
                float* samples = block.channel(c);
                const double step = 2.0 * M_PI * (110.0 * (c + 1)) / kRate;
                for (uint32_t i = 0; i < n; ++i) {
                    samples[i] = float(0.3 * std::sin(step * double(done + i)));
                }
            }
            block.setFrameLength(n);
            out->write(block);
            done += n;
        }
        out->close();
        return files_.emplace(minutes, path).first->second;
    }

  private:
    fs::path folder_ = paths::temporaryFolder() / ("corvaline-bench-" + newUuidString());
    std::map<double, fs::path> files_;
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

void report(benchmark::State& state, const fs::path& path, double seconds, double audioSeconds) {
    state.counters["xRealtime"] = audioSeconds / seconds;
    state.counters["MB/s"] = double(fs::file_size(path)) / 1e6 / seconds;
    state.counters["peakMB"] = peakMegabytes();
}

void analyzeFile(benchmark::State& state, double minutes) {
    const fs::path& path = fixture().file(minutes);
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        AudioInfo info = AudioIO::analyze(path);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        benchmark::DoNotOptimize(info);
        state.SetIterationTime(took.count());
        report(state, path, took.count(), info.duration());
    }
}

void BM_Analyze1Minute(benchmark::State& state) {
    analyzeFile(state, 1.0);
}
void BM_AnalyzeLong(benchmark::State& state) {
    analyzeFile(state, minutesFromEnvironment());
}

// The peer: the ffmpeg program decoding the same long file and discarding the result.
void BM_FfmpegDecodeNullPeer(benchmark::State& state) {
    const fs::path& path = fixture().file(minutesFromEnvironment());
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const std::string command =
            "ffmpeg -v error -nostdin -i '" + path.string() + "' -f null - >/dev/null 2>&1";
        if (std::system(command.c_str()) != 0) {
            state.SkipWithError("the ffmpeg program failed or is not installed");
            return;
        }
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(took.count());
        state.counters["xRealtime"] = minutesFromEnvironment() * 60.0 / took.count();
        state.counters["MB/s"] = double(fs::file_size(path)) / 1e6 / took.count();
    }
}

}  // namespace

BENCHMARK(BM_Analyze1Minute)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_AnalyzeLong)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_FfmpegDecodeNullPeer)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);

BENCHMARK_MAIN();
