// StreamingDSP throughput as a multiple of real time on one core, beside the ffmpeg program's
// nearest equivalent chain on the same audio.
//
// Chains: "everything" (leveler, lav bleed in the given mode, all 8 EQ bands enabled with
// non-zero gains on the shelves and bells, compressor, limiter with 4x true peak) and the
// default settings, for 1, 2 and 8 channels at 48 kHz. The audio is 20 s of two alternating
// synthetic talkers, each lav hearing the other 15 dB down and 1 ms late; further channels are
// room mixes. Mono has no lav pair, so its bleed stage stays idle.
//
// "dsp/..." runs process() on 4096-frame blocks; its "realtime" counter is seconds of audio per
// second of this thread's CPU time. "ffmpeg/..." writes the same audio to a temporary 32-bit
// float WAV and runs /usr/bin/ffmpeg single-threaded with highpass, lowshelf, equalizer,
// highshelf, lowpass, acompressor and alimiter into the null muxer; its time is the child's CPU
// time (user + system). "ffmpeg_bare/..." runs the same command without filters (start-up,
// WAV decoding): "filters_realtime" subtracts it, leaving the filter chain alone. A summary table
// with the ratios (medians when repeated) follows the benchmark output. Nothing here asserts a
// timing.

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "audiocore/dsp/StreamingDSP.hpp"
#include "audiocore/files/AudioIO.hpp"
#include "audiocore/platform/Process.hpp"

using namespace corvaline;

namespace {

constexpr double kRate = 48000;
constexpr uint32_t kBlock = 4096;
constexpr double kSeconds = 20;
constexpr uint32_t kFrames = uint32_t(kRate * kSeconds);
const std::filesystem::path kFFmpeg = "/usr/bin/ffmpeg";

enum class Chain { everythingCorrelated, everythingInterview, defaults };

const char* chainName(Chain chain) {
    switch (chain) {
        case Chain::everythingCorrelated:
            return "everything_correlated";
        case Chain::everythingInterview:
            return "everything_interview";
        case Chain::defaults:
            return "defaults";
    }
    return "";
}

ProcessingSettings settingsFor(Chain chain) {
    ProcessingSettings s;
    if (chain == Chain::defaults) return s;
    s.levelerEnabled = true;
    s.bleedEnabled = true;
    s.bleedMode =
        chain == Chain::everythingCorrelated ? LavBleedMode::correlated : LavBleedMode::interview;
    // Every band on; the shelves and bells get a gain so none of them is an identity.
    const double gains[8] = {0, 2, -3, 1.5, 2, 3, 1.5, 0};
    for (size_t b = 0; b < s.eqBands.size(); ++b) {
        s.eqBands[b].enabled = true;
        if (hasGain(s.eqBands[b].kind)) s.eqBands[b].gain = gains[b];
    }
    return s;
}

/// Two talkers taking turns every 2.5 s: harmonic voices with a syllable envelope.
std::vector<std::vector<double>> talkers() {
    std::vector<std::vector<double>> voices(2, std::vector<double>(kFrames, 0.0));
    for (int p = 0; p < 2; ++p) {
        double phase = 0;
        for (uint32_t i = 0; i < kFrames; ++i) {
            const double t = double(i) / kRate;
            const bool talking = int(t / 2.5) % 2 == p;
            const double f0 = 120 + 70 * p + 15 * std::sin(2 * std::numbers::pi * 0.7 * t);
            phase += 2 * std::numbers::pi * f0 / kRate;
            if (phase > 2 * std::numbers::pi) phase -= 2 * std::numbers::pi;
            if (!talking) continue;
            const double syllable = std::pow(std::sin(std::numbers::pi * 4 * t + p), 2);
            double v = 0;
            for (int h = 1; h <= 6; ++h)
                v += std::sin(h * phase) / h;
            voices[size_t(p)][i] = 0.35 * syllable * v;
        }
    }
    return voices;
}

const AudioBuffer& audio(int channels) {
    static std::map<int, AudioBuffer> cache;
    auto found = cache.find(channels);
    if (found != cache.end()) return found->second;
    static const std::vector<std::vector<double>> voices = talkers();
    AudioBuffer buffer(channels, kFrames);
    buffer.setFrameLength(kFrames);
    std::mt19937 rng(11);
    std::normal_distribution<double> noise(0, 0.003);
    const uint32_t spillDelay = uint32_t(kRate * 0.001);
    const double spill = std::pow(10.0, -15.0 / 20);
    for (int c = 0; c < channels; ++c) {
        float* x = buffer.channel(c);
        for (uint32_t i = 0; i < kFrames; ++i) {
            double v;
            if (c < 2 && channels > 1) {
                const auto& own = voices[size_t(c)];
                const auto& other = voices[size_t(1 - c)];
                v = own[i] + (i >= spillDelay ? spill * other[i - spillDelay] : 0.0);
            } else {
                v = (0.4 + 0.05 * c) * (voices[0][i] + voices[1][i]);
            }
            x[i] = float(v + noise(rng));
        }
    }
    return cache.emplace(channels, std::move(buffer)).first->second;
}

void dspRun(benchmark::State& state, Chain chain) {
    const int channels = int(state.range(0));
    const AudioBuffer& source = audio(channels);
    StreamingDSP dsp(kRate, std::vector<ChannelSettings>(size_t(channels)), settingsFor(chain));
    AudioBuffer block(channels, kBlock);
    for (auto _ : state) {
        for (uint32_t start = 0; start < kFrames; start += kBlock) {
            const uint32_t n = std::min(kBlock, kFrames - start);
            block.setFrameLength(n);
            for (int c = 0; c < channels; ++c)
                std::memcpy(block.channel(c), source.channel(c) + start, n * sizeof(float));
            dsp.process(block);
            benchmark::DoNotOptimize(block.channel(0));
        }
    }
    state.counters["realtime"] =
        benchmark::Counter(double(state.iterations()) * kSeconds, benchmark::Counter::kIsRate);
}

std::string number(double v) {
    char text[64];
    std::snprintf(text, sizeof text, "%.9g", v);
    return text;
}

/// The ffmpeg filter graph nearest to `settings`: the enabled EQ bands in order, then the
/// compressor (peak detection, channels linked by their maximum) and the limiter (no
/// automatic level). The leveler and the lav bleed have no counterpart.
std::string ffmpegChain(const ProcessingSettings& s) {
    std::vector<std::string> filters;
    for (const EQBand& band : s.eqBands) {
        if (!s.eqEnabled || !band.enabled) continue;
        const std::string fq =
            "f=" + number(band.frequency) + ":width_type=q:width=" + number(band.q);
        const std::string g = ":g=" + number(band.gain);
        switch (band.kind) {
            case EQKind::highPass:
                filters.push_back("highpass=" + fq);
                break;
            case EQKind::lowShelf:
                filters.push_back("lowshelf=" + fq + g);
                break;
            case EQKind::peak:
                filters.push_back("equalizer=" + fq + g);
                break;
            case EQKind::highShelf:
                filters.push_back("highshelf=" + fq + g);
                break;
            case EQKind::lowPass:
                filters.push_back("lowpass=" + fq);
                break;
            case EQKind::notch:
                filters.push_back("bandreject=" + fq);
                break;
        }
    }
    if (s.compressorEnabled) {
        filters.push_back("acompressor=threshold=" + number(std::pow(10.0, s.threshold / 20)) +
                          ":ratio=" + number(s.ratio) + ":attack=" + number(s.attack) +
                          ":release=" + number(s.release) +
                          ":makeup=" + number(std::pow(10.0, s.makeup / 20)) +
                          ":knee=1:detection=peak:link=maximum");
    }
    if (s.limiterEnabled) {
        filters.push_back("alimiter=limit=" + number(std::pow(10.0, s.ceiling / 20)) +
                          ":attack=5:release=" + number(s.limiterRelease) + ":level=false");
    }
    std::string graph;
    for (const std::string& f : filters)
        graph += (graph.empty() ? "" : ",") + f;
    return graph;
}

const std::filesystem::path& wavFile(int channels) {
    static std::map<int, std::filesystem::path> files;
    auto found = files.find(channels);
    if (found != files.end()) return found->second;
    const std::filesystem::path path = std::filesystem::temp_directory_path() /
                                       ("corvaline-bench-dsp-" + std::to_string(getpid()) + "-" +
                                        std::to_string(channels) + ".wav");
    auto out = AudioIO::writer(path, kRate, channels, 32);
    out->write(audio(channels));
    out->close();
    return files.emplace(channels, path).first->second;
}

void removeWavFiles() {
    std::error_code ignored;
    for (int channels : {1, 2, 8}) {
        std::filesystem::remove(std::filesystem::temp_directory_path() /
                                    ("corvaline-bench-dsp-" + std::to_string(getpid()) + "-" +
                                     std::to_string(channels) + ".wav"),
                                ignored);
    }
}

double childrenCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

/// Runs ffmpeg once on the chain's WAV (no filters when `graph` is empty) and returns its CPU
/// seconds, or a negative value when it failed.
double runFFmpeg(int channels, const std::string& graph, std::string& error) {
    ProcessOptions options;
    options.executable = kFFmpeg;
    options.arguments = {
        "-nostdin", "-hide_banner",    "-loglevel", "error", "-threads",
        "1",        "-filter_threads", "1",         "-i",    wavFile(channels).string()};
    if (!graph.empty()) options.arguments.insert(options.arguments.end(), {"-af", graph});
    options.arguments.insert(options.arguments.end(), {"-threads", "1", "-f", "null", "-"});
    options.standardError = ProcessOutput::captured(4096);
    options.pollInterval = std::chrono::milliseconds(5);
    const double before = childrenCpuSeconds();
    const ProcessResult result = runProcess(options);
    const double used = childrenCpuSeconds() - before;
    if (!result.succeeded()) {
        error = "ffmpeg failed (" + std::to_string(result.status()) + "): " + result.standardError;
        return -1;
    }
    return used;
}

void ffmpegRun(benchmark::State& state, Chain chain, bool bare) {
    const int channels = int(state.range(0));
    if (!std::filesystem::exists(kFFmpeg)) {
        state.SkipWithError("/usr/bin/ffmpeg is not installed");
        return;
    }
    const std::string graph = bare ? std::string() : ffmpegChain(settingsFor(chain));
    wavFile(channels);
    double total = 0;
    for (auto _ : state) {
        std::string error;
        const double seconds = runFFmpeg(channels, graph, error);
        if (seconds < 0) {
            state.SkipWithError(error.c_str());
            return;
        }
        state.SetIterationTime(seconds);
        total += seconds;
    }
    state.counters["realtime"] = double(state.iterations()) * kSeconds / std::max(total, 1e-9);
    state.counters["cpu_seconds"] =
        total / double(std::max<benchmark::IterationCount>(state.iterations(), 1));
}

/// Console output as usual, and each run's figures kept for the summary.
class CollectingReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.run_type == Run::RT_Aggregate && !median) continue;
            Figures& f = figures_[run.run_name.function_name + "/" + run.run_name.args];
            if (median) {
                f.median = true;
                f.values.clear();
            } else if (f.median) {
                continue;
            }
            auto counter = run.counters.find("realtime");
            auto seconds = run.counters.find("cpu_seconds");
            Sample sample;
            sample.realtime = counter != run.counters.end() ? double(counter->second) : 0;
            sample.cpuSeconds = seconds != run.counters.end() ? double(seconds->second) : 0;
            f.values.push_back(sample);
        }
    }

    /// Median (or, without repetitions, mean) of a benchmark's figure; 0 when absent.
    double realtime(const std::string& name) const { return pick(name, false); }
    double cpuSeconds(const std::string& name) const { return pick(name, true); }

  private:
    struct Sample {
        double realtime = 0;
        double cpuSeconds = 0;
    };
    struct Figures {
        bool median = false;
        std::vector<Sample> values;
    };
    double pick(const std::string& name, bool cpu) const {
        auto found = figures_.find(name);
        if (found == figures_.end() || found->second.values.empty()) return 0;
        double sum = 0;
        for (const Sample& s : found->second.values)
            sum += cpu ? s.cpuSeconds : s.realtime;
        return sum / double(found->second.values.size());
    }
    std::map<std::string, Figures> figures_;
};

void printSummary(const CollectingReporter& r) {
    std::printf("\nMultiple of real time on one core, %g s at 48 kHz (medians when repeated)\n",
                kSeconds);
    std::printf("%-24s %4s %12s %12s %9s %14s %9s\n", "chain", "ch", "StreamingDSP", "ffmpeg",
                "ratio", "ffmpeg filters", "ratio");
    for (Chain chain : {Chain::everythingCorrelated, Chain::everythingInterview, Chain::defaults}) {
        for (int channels : {1, 2, 8}) {
            const std::string suffix =
                std::string(chainName(chain)) + "/" + std::to_string(channels);
            const double ours = r.realtime("dsp/" + suffix);
            // Both bleed modes share one ffmpeg counterpart.
            const std::string theirName =
                std::string("ffmpeg/") +
                chainName(chain == Chain::everythingInterview ? Chain::everythingCorrelated
                                                              : chain) +
                "/" + std::to_string(channels);
            const double theirs = r.realtime(theirName);
            const double chainSeconds = r.cpuSeconds(theirName);
            const double bareSeconds = r.cpuSeconds("ffmpeg_bare/" + std::to_string(channels));
            if (ours == 0 && theirs == 0) continue;
            const double filters = chainSeconds > bareSeconds && bareSeconds > 0
                                       ? kSeconds / (chainSeconds - bareSeconds)
                                       : 0;
            std::printf("%-24s %4d %11.1fx %11.1fx %8.2fx %13.1fx %8.2fx\n", chainName(chain),
                        channels, ours, theirs, theirs > 0 ? ours / theirs : 0.0, filters,
                        filters > 0 ? ours / filters : 0.0);
        }
    }
    std::printf(
        "ratio = StreamingDSP / ffmpeg (whole program); the second ratio compares with "
        "ffmpeg's filters alone (its run minus a run without filters).\n");
    std::printf("ffmpeg chains:\n  everything: %s\n  defaults:   %s\n",
                ffmpegChain(settingsFor(Chain::everythingCorrelated)).c_str(),
                ffmpegChain(settingsFor(Chain::defaults)).c_str());
}

void registerAll() {
    for (Chain chain : {Chain::everythingCorrelated, Chain::everythingInterview, Chain::defaults}) {
        benchmark::RegisterBenchmark((std::string("dsp/") + chainName(chain)).c_str(),
                                     [chain](benchmark::State& s) { dspRun(s, chain); })
            ->Arg(1)
            ->Arg(2)
            ->Arg(8)
            ->Unit(benchmark::kMillisecond);
    }
    benchmark::RegisterBenchmark("ffmpeg_bare",
                                 [](benchmark::State& s) { ffmpegRun(s, Chain::defaults, true); })
        ->Arg(1)
        ->Arg(2)
        ->Arg(8)
        ->Iterations(2)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    // The interview mode has the same ffmpeg counterpart as the correlated one.
    for (Chain chain : {Chain::everythingCorrelated, Chain::defaults}) {
        benchmark::RegisterBenchmark((std::string("ffmpeg/") + chainName(chain)).c_str(),
                                     [chain](benchmark::State& s) { ffmpegRun(s, chain, false); })
            ->Arg(1)
            ->Arg(2)
            ->Arg(8)
            ->Iterations(2)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
    }
}

}  // namespace

int main(int argc, char** argv) {
    registerAll();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    CollectingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    removeWavFiles();
    printSummary(reporter);
    return 0;
}
