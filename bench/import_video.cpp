// Import throughput, peak memory and bytes written: MediaImport::read on a MOV with four stereo
// 48 kHz 24-bit PCM tracks (and a small picture track), and on a stereo AAC file (M4A), as a
// multiple of real time, against the ffmpeg program decoding the same audio to the null muxer
// (`ffmpeg -i FILE -map 0:a -f null -`) in the same run as the peer figure.
//
// The files are made with the ffmpeg program when the benchmark starts. The long ones are
// CORVALINE_BENCH_MINUTES long (default 60); short ones of CORVALINE_BENCH_SHORT_MINUTES
// (default 10) are imported first, so that the two peak memory figures show whether memory
// grows with the length of the movie. Bytes written are this process's, from /proc/self/io
// ("wchar": bytes handed to write calls). Peak memory is the resident high-water mark of this
// process during one import (reset before it through /proc/self/clear_refs), also given above
// the resident size before the import (FFmpeg's libraries, opened by the first import, take
// about 30 MB of it);
// the peer's is the high-water mark of the ffmpeg process, read from /proc while it runs, for
// both movies. The movies and the import folders live in a temporary folder that is removed
// at exit.
//
// What does grow with length, in the import and in the peer alike, is the movie's sample
// table: the demuxer holds an index entry per chunk of every track (picture included) while
// the file is open, about 0.4 MB per minute for this movie (4 audio tracks muxed in
// 1024-frame chunks, 25 pictures a second). The import's own buffers do not depend on length.

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "audiocore/import/MediaImport.hpp"
#include "audiocore/platform/Paths.hpp"
#include "audiocore/platform/Process.hpp"
#include "audiocore/platform/Uuid.hpp"

namespace fs = std::filesystem;
using namespace corvaline;

namespace {

constexpr int kTracks = 4;
const fs::path kFfmpeg = "/usr/bin/ffmpeg";

double minutesFromEnvironment(const char* name, double fallback) {
    const char* text = std::getenv(name);
    const double minutes = text ? std::atof(text) : fallback;
    return minutes > 0 ? minutes : fallback;
}

double longMinutes() {
    return minutesFromEnvironment("CORVALINE_BENCH_MINUTES", 60);
}
double shortMinutes() {
    return minutesFromEnvironment("CORVALINE_BENCH_SHORT_MINUTES", 10);
}

/// Resets the resident high-water mark of this process (Linux 4.0 and later); false when the
/// kernel refuses, in which case peakMegabytes() reports the peak since the process started.
bool resetPeak() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.flush();
    return bool(clear);
}

/// A "Vm...:" field of /proc/<pid>/status in MB; 0 when it cannot be read.
double statusMegabytes(const std::string& process, const std::string& field) {
    std::ifstream status("/proc/" + process + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field + ":", 0) == 0)
            return std::atof(line.c_str() + field.size() + 1) / 1024.0;
    return 0;
}

/// CPU seconds (user + system) used so far by this process, or by its reaped children.
double cpuSeconds(int who) {
    rusage usage{};
    getrusage(who, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

/// Bytes this process has handed to write calls so far ("wchar" of /proc/self/io).
double writtenMegabytes() {
    std::ifstream io("/proc/self/io");
    for (std::string line; std::getline(io, line);)
        if (line.rfind("wchar:", 0) == 0) return std::atof(line.c_str() + 6) / 1e6;
    return 0;
}

/// The resident high-water mark of this process in MB (ru_maxrss when /proc cannot be read).
double peakMegabytes() {
    const double hwm = statusMegabytes("self", "VmHWM");
    if (hwm > 0) return hwm;
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_maxrss) / 1024.0;
}

/// Runs the ffmpeg program; the result holds the tail of its error output.
ProcessResult ffmpeg(const std::vector<std::string>& arguments) {
    ProcessOptions options;
    options.executable = kFfmpeg;
    options.arguments = {"-hide_banner", "-nostdin", "-nostats"};
    options.arguments.insert(options.arguments.end(), arguments.begin(), arguments.end());
    options.standardError = ProcessOutput::captured(16384, ProcessOutput::Keep::tail);
    return runProcess(options);
}

class Fixture {
  public:
    ~Fixture() {
        std::error_code ec;
        fs::remove_all(folder_, ec);
    }

    const fs::path& workspace() const { return workspace_; }

    /// A movie of `minutes`, made once per length; nullopt (with the reason in `error`) when
    /// the ffmpeg program could not make it.
    std::optional<fs::path> movie(double minutes, std::string& error) {
        auto found = movies_.find(minutes);
        if (found != movies_.end()) return found->second;
        fs::create_directories(folder_);
        const std::string seconds = std::to_string(minutes * 60.0);
        const fs::path path = folder_ / ("scene-" + std::to_string(int(minutes * 60.0)) + "s.mov");
        std::vector<std::string> arguments = {"-loglevel",
                                              "error",
                                              "-y",
                                              "-f",
                                              "lavfi",
                                              "-i",
                                              "color=c=black:s=64x64:r=25:d=" + seconds};
        for (int t = 0; t < kTracks; ++t)
            arguments.insert(arguments.end(), {"-f", "lavfi", "-i",
                                               "sine=frequency=" + std::to_string(220 * (t + 1)) +
                                                   ":sample_rate=48000:duration=" + seconds});
        for (int i = 0; i <= kTracks; ++i)
            arguments.insert(arguments.end(), {"-map", std::to_string(i)});
        arguments.insert(arguments.end(), {"-c:v", "mpeg4", "-c:a", "pcm_s24le", "-ac", "2", "-ar",
                                           "48000", path.string()});
        const ProcessResult result = ffmpeg(arguments);
        if (!result.succeeded()) {
            error = "the ffmpeg program could not make the movie: " + result.standardError;
            return std::nullopt;
        }
        return movies_.emplace(minutes, path).first->second;
    }

    /// A stereo AAC file (M4A, 192 kb/s) of `minutes`, made once per length.
    std::optional<fs::path> aac(double minutes, std::string& error) {
        auto found = aacs_.find(minutes);
        if (found != aacs_.end()) return found->second;
        fs::create_directories(folder_);
        const std::string seconds = std::to_string(minutes * 60.0);
        const fs::path path = folder_ / ("voice-" + std::to_string(int(minutes * 60.0)) + "s.m4a");
        const ProcessResult result =
            ffmpeg({"-loglevel", "error", "-y", "-f", "lavfi", "-i",
                    "aevalsrc=0.3*sin(2*PI*330*t)|0.2*sin(2*PI*550*t):s=48000:d=" + seconds, "-c:a",
                    "aac", "-b:a", "192k", path.string()});
        if (!result.succeeded()) {
            error = "the ffmpeg program could not make the AAC file: " + result.standardError;
            return std::nullopt;
        }
        return aacs_.emplace(minutes, path).first->second;
    }

  private:
    fs::path folder_ = paths::temporaryFolder() / ("corvaline-bench-import-" + newUuidString());
    fs::path workspace_ = folder_ / "workspace";
    std::map<double, fs::path> movies_;
    std::map<double, fs::path> aacs_;
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

/// The figures of one run, kept for the summary printed after all benchmarks.
struct Figures {
    double minutes = 0;
    double realtime = 0;    ///< audio seconds per wall-clock second
    double peakMB = 0;      ///< resident high-water mark during the run
    double baselineMB = 0;  ///< resident size before the run (0 for the peer)
    double writtenMB = 0;   ///< bytes handed to write calls during the run (0 for the peer)
    double cpu = 0;         ///< audio seconds per CPU second (user + system)
};
std::optional<Figures> shortImport, longImport, shortPeer, longPeer;
std::optional<Figures> shortAac, longAac, shortAacPeer, longAacPeer;

enum class Source { movie, aac };

std::optional<fs::path> sourceFile(Source source, double minutes, std::string& error) {
    return source == Source::movie ? fixture().movie(minutes, error)
                                   : fixture().aac(minutes, error);
}

void importMovie(benchmark::State& state, double minutes, std::optional<Figures>& figures,
                 Source source = Source::movie) {
    std::string error;
    const auto movie = sourceFile(source, minutes, error);
    if (!movie) {
        state.SkipWithError(error.c_str());
        return;
    }
    const bool resettable = resetPeak();
    for (auto _ : state) {
        resetPeak();
        const double baseline = statusMegabytes("self", "VmRSS");
        const double writtenBefore = writtenMegabytes();
        const double cpuBefore = cpuSeconds(RUSAGE_SELF);
        const auto start = std::chrono::steady_clock::now();
        AudioInfo info;
        try {
            info = MediaImport::read(*movie, fixture().workspace());
        } catch (const std::exception& e) {
            state.SkipWithError((std::string("the import failed: ") + e.what()).c_str());
            return;
        }
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        const double peak = peakMegabytes();
        const double written = writtenMegabytes() - writtenBefore;
        state.SetIterationTime(took.count());
        const int channels = source == Source::movie ? 2 * kTracks : 2;
        if (info.channelCount() != channels || info.sampleRate != 48000 ||
            info.frameCount != std::llround(minutes * 60 * 48000)) {
            state.SkipWithError("the import did not give the expected channels, rate and length");
            return;
        }
        const double cpu = cpuSeconds(RUSAGE_SELF) - cpuBefore;
        figures = Figures{minutes, info.duration() / took.count(), peak, baseline,
                          written, info.duration() / cpu};
        state.counters["xCpu"] = figures->cpu;
        state.counters["xRealtime"] = figures->realtime;
        state.counters["peakMB"] = peak;
        state.counters["importMB"] = peak - baseline;
        state.counters["writtenMB"] = written;
        std::error_code ec;
        if (source == Source::movie) fs::remove_all(info.url.parent_path(), ec);
    }
    if (!resettable) state.SetLabel("peak since process start");
}

void BM_ImportShortMovie(benchmark::State& state) {
    importMovie(state, shortMinutes(), shortImport);
}

void BM_ImportLongMovie(benchmark::State& state) {
    importMovie(state, longMinutes(), longImport);
}

void runPeer(benchmark::State& state, double minutes, std::optional<Figures>& figures,
             Source source = Source::movie) {
    std::string error;
    const auto movie = sourceFile(source, minutes, error);
    if (!movie) {
        state.SkipWithError(error.c_str());
        return;
    }
    for (auto _ : state) {
        ProcessOptions options;
        options.executable = kFfmpeg;
        options.arguments = {"-hide_banner", "-nostdin", "-nostats", "-i",   movie->string(),
                             "-map",         "0:a",      "-f",       "null", "-"};
        options.standardError = ProcessOutput::captured(16384, ProcessOutput::Keep::tail);
        const double cpuBefore = cpuSeconds(RUSAGE_CHILDREN);
        const auto start = std::chrono::steady_clock::now();
        ChildProcess child(options);
        // The child's own high-water mark, read until it is reaped (it only ever rises).
        const std::string pid = std::to_string(child.pid());
        double peak = 0;
        for (;;) {
            peak = std::max(peak, statusMegabytes(pid, "VmHWM"));
            if (!child.running()) break;
            child.drain(std::chrono::milliseconds(10));
        }
        const ProcessResult result = child.wait();
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        if (!result.succeeded()) {
            state.SkipWithError(("the ffmpeg program failed: " + result.standardError).c_str());
            return;
        }
        state.SetIterationTime(took.count());
        const double cpu = cpuSeconds(RUSAGE_CHILDREN) - cpuBefore;
        figures = Figures{minutes, minutes * 60.0 / took.count(), peak, 0, 0, minutes * 60.0 / cpu};
        state.counters["xCpu"] = figures->cpu;
        state.counters["xRealtime"] = figures->realtime;
        state.counters["peakMB"] = peak;
    }
}

void BM_FfmpegShortMoviePeer(benchmark::State& state) {
    runPeer(state, shortMinutes(), shortPeer);
}

void BM_FfmpegLongMoviePeer(benchmark::State& state) {
    runPeer(state, longMinutes(), longPeer);
}

void BM_ImportShortAac(benchmark::State& state) {
    importMovie(state, shortMinutes(), shortAac, Source::aac);
}
void BM_ImportLongAac(benchmark::State& state) {
    importMovie(state, longMinutes(), longAac, Source::aac);
}
void BM_FfmpegShortAacPeer(benchmark::State& state) {
    runPeer(state, shortMinutes(), shortAacPeer, Source::aac);
}
void BM_FfmpegLongAacPeer(benchmark::State& state) {
    runPeer(state, longMinutes(), longAacPeer, Source::aac);
}

void printSummary() {
    std::printf("\nVideo import of a MOV with %d stereo 48 kHz 24-bit PCM tracks\n", kTracks);
    for (const auto* run : {&shortImport, &longImport})
        if (*run)
            std::printf(
                "  import %6.1f min: %7.1fx real time, peak %7.1f MB (%.1f MB above the %.1f MB "
                "before it), %.0f MB written, %.1fx real time per CPU second\n",
                (*run)->minutes, (*run)->realtime, (*run)->peakMB,
                (*run)->peakMB - (*run)->baselineMB, (*run)->baselineMB, (*run)->writtenMB,
                (*run)->cpu);
    for (const auto* run : {&shortPeer, &longPeer})
        if (*run)
            std::printf(
                "  ffmpeg %6.1f min: %7.1fx real time, peak %7.1f MB, %.1fx real time per "
                "CPU second (-map 0:a -f null)\n",
                (*run)->minutes, (*run)->realtime, (*run)->peakMB, (*run)->cpu);
    if (longImport && longPeer)
        std::printf("  import / ffmpeg throughput (long movie): %.2f wall clock, %.2f CPU\n",
                    longImport->realtime / longPeer->realtime, longImport->cpu / longPeer->cpu);
    if (shortImport && longImport)
        std::printf(
            "  import peak, long - short: %+.1f MB (above the resident size before each: %+.1f "
            "MB) for %.0fx the length\n",
            longImport->peakMB - shortImport->peakMB,
            (longImport->peakMB - longImport->baselineMB) -
                (shortImport->peakMB - shortImport->baselineMB),
            longImport->minutes / shortImport->minutes);
    if (shortPeer && longPeer)
        std::printf("  ffmpeg peak, long - short: %+.1f MB\n",
                    longPeer->peakMB - shortPeer->peakMB);

    std::printf("\nImport of a stereo 48 kHz AAC file (M4A, 192 kb/s)\n");
    for (const auto* run : {&shortAac, &longAac})
        if (*run)
            std::printf(
                "  import %6.1f min: %7.1fx real time, peak %7.1f MB (%.1f MB above the "
                "%.1f MB before it), %.0f MB written\n",
                (*run)->minutes, (*run)->realtime, (*run)->peakMB,
                (*run)->peakMB - (*run)->baselineMB, (*run)->baselineMB, (*run)->writtenMB);
    for (const auto* run : {&shortAacPeer, &longAacPeer})
        if (*run)
            std::printf(
                "  ffmpeg %6.1f min: %7.1fx real time, peak %7.1f MB, %.1fx real time per "
                "CPU second (-f null)\n",
                (*run)->minutes, (*run)->realtime, (*run)->peakMB, (*run)->cpu);
    if (longAac && longAacPeer)
        std::printf("  import / ffmpeg throughput (long file): %.2f wall clock, %.2f CPU\n",
                    longAac->realtime / longAacPeer->realtime, longAac->cpu / longAacPeer->cpu);
}

}  // namespace

BENCHMARK(BM_ImportShortMovie)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_ImportLongMovie)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_FfmpegShortMoviePeer)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_FfmpegLongMoviePeer)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_ImportShortAac)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_ImportLongAac)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_FfmpegShortAacPeer)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_FfmpegLongAacPeer)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    printSummary();
    return 0;
}
