// The finishing engine side by side with the `ffmpeg` program at its best (-filter_threads 1),
// on the same stereo 48 kHz file, whole operations, median of three runs each:
//   - render: "Dialogue Balanced" into 24-bit PCM with the true-peak verification, against
//     ffmpeg running the same chain (highpass 70 Hz, low shelf 150, five bells, high shelf 7 k,
//     acompressor -18 dB 3:1 10/120 ms, alimiter -1 dB) into 24-bit PCM;
//   - loudness: the "Transparent" measurement (EBU R128 plus true peak) against
//     ffmpeg -af ebur128=peak=true;
//   - the chain alone (StreamingDSP, every module on) as a multiple of real time.
// Prints wall and CPU seconds and the ratios ours/ffmpeg (below 1.0 means faster). The file
// lasts CORVALINE_BENCH_SECONDS seconds (default 120). Nothing here asserts a timing.

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <numbers>
#include <sstream>
#include <string>
#include <vector>

#include "BenchSupport.hpp"
#include "audiocore/dsp/StreamingDSP.hpp"
#include "audiocore/files/AudioIO.hpp"
#include "audiocore/finishing/AudioDSP.hpp"
#include "audiocore/finishing/LoudnessNormalization.hpp"
#include "audiocore/platform/Paths.hpp"
#include "audiocore/platform/Process.hpp"
#include "audiocore/platform/Uuid.hpp"

using namespace corvaline;
using bench::peakMB;
using bench::workspace;
namespace fs = std::filesystem;

namespace {

double benchSeconds() {
    return bench::environmentNumber("CORVALINE_BENCH_SECONDS", 120);
}

constexpr double kRate = 48000;

struct Cost {
    double wall = 0;
    double cpu = 0;
};

// Median wall and CPU time of three runs of `body`; `children` counts the CPU of reaped
// child processes instead of this process's.
Cost measure(const std::function<void()>& body, bool children) {
    std::vector<Cost> runs;
    for (int i = 0; i < 3; ++i) {
        const int who = children ? RUSAGE_CHILDREN : RUSAGE_SELF;
        const double cpu = bench::cpuSeconds(who);
        const auto start = std::chrono::steady_clock::now();
        body();
        runs.push_back(
            {std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
             bench::cpuSeconds(who) - cpu});
    }
    std::sort(runs.begin(), runs.end(),
              [](const Cost& a, const Cost& b) { return a.wall < b.wall; });
    return runs[1];
}

fs::path findProgram(const std::string& name) {
    std::stringstream path(std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin");
    std::string folder;
    while (std::getline(path, folder, ':')) {
        if (fs::exists(fs::path(folder) / name)) return fs::path(folder) / name;
    }
    return {};
}

void runFFmpeg(const fs::path& ffmpeg, const std::vector<std::string>& arguments) {
    ProcessOptions options;
    options.executable = ffmpeg;
    options.arguments = arguments;
    const ProcessResult result = runProcess(options);
    if (!result.succeeded()) std::fprintf(stderr, "ffmpeg failed (%d)\n", result.status());
}

// Speech-like stereo programme: voiced harmonics, syllables and pauses.
void writeProgramme(const fs::path& url, double seconds) {
    auto writer = AudioIO::writer(url, kRate, 2, 32);
    AudioBuffer block(2, 16384);
    const auto total = int64_t(seconds * kRate);
    for (int64_t at = 0; at < total; at += 16384) {
        const auto n = uint32_t(std::min<int64_t>(16384, total - at));
        for (int c = 0; c < 2; ++c) {
            float* x = block.channel(c);
            for (uint32_t i = 0; i < n; ++i) {
                const double t = double(at + i) / kRate;
                const double phrase = std::fmod(t, 7.0) < 5.5 ? 1.0 : 0.02;
                const double syllable =
                    0.15 + 0.85 * std::abs(std::sin(std::numbers::pi * 3.1 * t));
                double voice = 0;
                for (int k = 1; k <= 12; ++k)
                    voice +=
                        std::sin(2 * std::numbers::pi * (120 + 15 * c) * k * t + 0.8 * k * k) / k;
                x[i] = float(0.3 * phrase * syllable * voice);
            }
        }
        block.setFrameLength(n);
        writer->write(block);
    }
    writer->close();
}

double chainRealtime(double seconds) {
    ProcessingSettings settings;
    settings.levelerEnabled = true;
    settings.bleedEnabled = true;
    for (auto& band : settings.eqBands)
        band.enabled = true;
    StreamingDSP chain(kRate, std::vector<ChannelSettings>(2), settings);
    AudioBuffer block(2, 16384);
    for (int c = 0; c < 2; ++c) {
        for (uint32_t i = 0; i < 16384; ++i)
            block.channel(c)[i] = float(0.3 * std::sin(0.01 * i * (c + 1)));
    }
    block.setFrameLength(16384);
    const auto blocks = int64_t(seconds * kRate / 16384);
    // CPU time of this thread: on a shared machine the wall clock measures the neighbours too.
    const double start = bench::cpuSeconds(RUSAGE_THREAD);
    for (int64_t b = 0; b < blocks; ++b)
        chain.process(block);
    return double(blocks) * 16384 / kRate / (bench::cpuSeconds(RUSAGE_THREAD) - start);
}

void row(const char* what, const Cost& ours, const Cost& peer) {
    std::printf(
        "%-10s ours %7.2f s wall %7.2f s CPU | ffmpeg %7.2f s wall %7.2f s CPU | "
        "ratio wall %.2f CPU %.2f\n",
        what, ours.wall, ours.cpu, peer.wall, peer.cpu, ours.wall / peer.wall, ours.cpu / peer.cpu);
}

}  // namespace

int main() {
    const double seconds = benchSeconds();
    const fs::path folder = paths::temporaryFolder() / ("corvaline-peer-" + newUuidString());
    fs::create_directories(folder);
    const fs::path source = folder / "programme.wav";
    writeProgramme(source, seconds);
    const fs::path ffmpeg = findProgram("ffmpeg");
    std::printf("stereo 48 kHz, %.0f s; peer: %s -filter_threads 1\n", seconds,
                ffmpeg.empty() ? "(ffmpeg not found)" : ffmpeg.c_str());

    const std::vector<ChannelSettings> both(2);
    const Cost render = measure(
        [&] {
            AudioDSP::render(source, folder / "ours.wav", *presetNamed("Dialogue Balanced"), both,
                             24);
        },
        false);
    const Cost loudness = measure(
        [&] {
            LoudnessNormalization::clearCache();
            LoudnessNormalization::plan(source, std::nullopt, *presetNamed("Transparent"), both);
        },
        false);
    Cost peerRender;
    Cost peerLoudness;
    if (!ffmpeg.empty()) {
        const std::string chain =
            "highpass=f=70,bass=f=150:g=0,equalizer=f=300:t=q:w=1:g=0,"
            "equalizer=f=650:t=q:w=1:g=0,equalizer=f=1500:t=q:w=0.7071:g=0,"
            "equalizer=f=3500:t=q:w=1:g=0,treble=f=7000:g=0,"
            "acompressor=threshold=-18dB:ratio=3:attack=10:release=120,alimiter=limit=-1dB";
        peerRender = measure(
            [&] {
                runFFmpeg(ffmpeg, {"-nostdin", "-hide_banner", "-loglevel", "error", "-y",
                                   "-filter_threads", "1", "-i", source.string(), "-af", chain,
                                   "-c:a", "pcm_s24le", (folder / "peer.wav").string()});
            },
            true);
        peerLoudness = measure(
            [&] {
                runFFmpeg(ffmpeg,
                          {"-nostdin", "-hide_banner", "-loglevel", "error", "-filter_threads", "1",
                           "-i", source.string(), "-af", "ebur128=peak=true", "-f", "null", "-"});
            },
            true);
        row("render", render, peerRender);
        row("loudness", loudness, peerLoudness);
    } else {
        std::printf("render   ours %.2f s wall %.2f s CPU\nloudness ours %.2f s wall %.2f s CPU\n",
                    render.wall, render.cpu, loudness.wall, loudness.cpu);
    }
    std::printf("chain alone (every module on, stereo): %.0fx real time (CPU)\n",
                chainRealtime(std::min(seconds, 60.0)));
    std::printf("render %.0fx real time (wall); peak memory of this process %.1f MB\n",
                seconds / render.wall, peakMB());
    std::error_code ignored;
    fs::remove_all(folder, ignored);
    return 0;
}
