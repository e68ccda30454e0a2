// Start-up cost of the command line: `corvaline-cli info` on a short WAV (and `--help`) against
// `soxi` on the same file, each run as a fresh process. Time is wall-clock per run; the
// counters give the CPU time of one run and the largest peak resident memory of any run
// (getrusage of the child). Programs that run no model must not load the model runtime.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "audiocore/platform/Paths.hpp"
#include "audiocore/platform/Uuid.hpp"

extern char** environ;

namespace fs = std::filesystem;

namespace {

/// A 2-second, 48 kHz, 24-bit stereo WAV of a quiet tone, removed at exit.
struct ShortWav {
    fs::path path;
    ShortWav() {
        path = corvaline::paths::temporaryFolder() /
               ("corvaline-bench-" + corvaline::newUuidString() + ".wav");
        const std::uint32_t frames = 96000, channels = 2, bytesPerFrame = 3 * channels;
        std::string bytes;
        auto u32 = [&](std::uint32_t v) {
            for (int i = 0; i < 4; ++i)
                bytes.push_back(char((v >> (8 * i)) & 0xff));
        };
        auto u16 = [&](std::uint16_t v) {
            bytes.push_back(char(v & 0xff));
            bytes.push_back(char(v >> 8));
        };
        bytes += "RIFF";
        u32(36 + frames * bytesPerFrame);
        bytes += "WAVEfmt ";
        u32(16);
        u16(1);
        u16(std::uint16_t(channels));
        u32(48000);
        u32(48000 * bytesPerFrame);
        u16(std::uint16_t(bytesPerFrame));
        u16(24);
        bytes += "data";
        u32(frames * bytesPerFrame);
        for (std::uint32_t f = 0; f < frames; ++f) {
            const auto v = std::int32_t((f % 109) * 1000) - 54000;
            for (std::uint32_t c = 0; c < channels; ++c)
                for (int b = 0; b < 3; ++b)
                    bytes.push_back(char((v >> (8 * b)) & 0xff));
        }
        std::ofstream(path, std::ios::binary) << bytes;
    }
    ~ShortWav() {
        std::error_code ec;
        fs::remove(path, ec);
    }
};

const ShortWav& wav() {
    static const ShortWav file;
    return file;
}

/// Runs `argv` with its output discarded; returns false when it could not run or failed.
bool runOnce(const std::vector<std::string>& argv, rusage& usage) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return false;
    int status = 0;
    if (wait4(pid, &status, 0, &usage) != pid) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void measure(benchmark::State& state, const std::vector<std::string>& argv) {
    if (!fs::exists(argv[0])) {
        state.SkipWithError((argv[0] + " is not installed").c_str());
        return;
    }
    long peakKB = 0;
    double cpuSeconds = 0;
    for (auto _ : state) {
        rusage usage{};
        if (!runOnce(argv, usage)) {
            state.SkipWithError((argv[0] + " failed").c_str());
            return;
        }
        peakKB = std::max(peakKB, usage.ru_maxrss);
        cpuSeconds += double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                      double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    }
    state.counters["peak_MB"] = double(peakKB) / 1024.0;
    state.counters["cpu_ms"] = 1000.0 * cpuSeconds / double(state.iterations());
}

std::string cli() {
    return (corvaline::paths::executableFolder() / "corvaline-cli").string();
}

void BM_CorvalineInfo(benchmark::State& state) {
    measure(state, {cli(), "info", wav().path.string()});
}
void BM_CorvalineHelp(benchmark::State& state) {
    measure(state, {cli(), "--help"});
}
void BM_Soxi(benchmark::State& state) {
    measure(state, {"/usr/bin/soxi", wav().path.string()});
}

}  // namespace

BENCHMARK(BM_CorvalineInfo)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_CorvalineHelp)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_Soxi)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

BENCHMARK_MAIN();
