// corvaline-cli play: plays a recording through the live monitor with a one-line meter.

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <thread>

#include "CliSupport.hpp"
#include "Command.hpp"
#include "audiocore/files/AudioIO.hpp"
#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/monitor/MonitorPlan.hpp"
#include "playback/LiveMonitor.hpp"

namespace corvaline::cli {
namespace {

// Sets `flag` on the listed 1-based channels ("1,3").
void markChannels(std::vector<ChannelSettings>& channels, const std::optional<std::string>& list,
                  bool ChannelSettings::*flag, const char* option) {
    if (!list) return;
    std::stringstream items(*list);
    std::string item;
    while (std::getline(items, item, ',')) {
        const int64_t number = parseInteger(item, option);
        if (number < 1 || number > int64_t(channels.size())) {
            throw UsageError{std::string(option) + ": channel " + item +
                             " does not exist (the file has " +
                             countText(int64_t(channels.size()), "channel") + ", numbered from 1)"};
        }
        channels[size_t(number - 1)].*flag = true;
    }
}

std::string clock(double seconds) {
    char text[32];
    const int minutes = int(seconds / 60);
    std::snprintf(text, sizeof text, "%d:%04.1f", minutes, seconds - 60.0 * minutes);
    return text;
}

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

std::string meterLine(double time, double duration, const LiveMonitor::Snapshot& s) {
    char text[256];
    std::snprintf(text, sizeof text,
                  "%s / %s  L %6.1f  R %6.1f dBFS  comp %4.1f dB  lim %4.1f dB%s",
                  clock(time).c_str(), clock(duration).c_str(), s.output[0], s.output[1],
                  std::max(s.compressorReduction, 0.0), std::max(s.limiterReduction, 0.0),
                  s.normalizationSuspended ? "  norm suspended" : "");
    return text;
}

int run(const std::vector<std::string>& argv) {
    Arguments args(argv);
    const bool original = args.flag("--original");
    const bool stats = args.flag("--stats");
    const auto match = args.option("--match");
    const auto start = args.option("--start");
    const auto end = args.option("--end");
    const auto process = args.option("--process");
    const auto mute = args.option("--mute");
    const auto solo = args.option("--solo");
    const SettingsOptions options = parseSettingsOptions(args);
    const InputRecording recording(args.positionals(1, "input file")[0]);
    const std::filesystem::path& source = recording.audio();

    const double rate = recording.sampleRate();
    const int64_t length = recording.length();
    const int channelCount = recording.channelCount();
    auto channels = parseProcess(process, channelCount);
    markChannels(channels, mute, &ChannelSettings::mute, "--mute");
    markChannels(channels, solo, &ChannelSettings::solo, "--solo");

    std::optional<AudioFrameRange> range;
    if (start || end) {
        const double from = start ? parseNumber(*start, "--start") : 0.0;
        const int64_t first = std::llround(std::max(from, 0.0) * rate);
        const int64_t last = end ? std::llround(parseNumber(*end, "--end") * rate) : length;
        range = AudioFrameRange::make(first, std::min(last, length));
    }

    MonitorPlan plan;
    plan.source = source;
    plan.range = range;
    if (original) {
        // The neutral Original monitor chain: defaults with EQ, compressor and limiter off.
        plan.settings = ProcessingSettings();
        plan.settings.eqEnabled = plan.settings.compressorEnabled = false;
        plan.settings.limiterEnabled = false;
    } else {
        plan.settings = options.settings;
    }
    plan.channels = channels;
    plan.reference = source;
    plan.referenceRange = range;
    if (match) {
        plan.compared = std::filesystem::path(*match);
        plan.comparedRange = range;
        plan.matching = true;
    }
    plan.processed = !original;
    plan.normalizationRange = range;

    return runCancellable([&](std::stop_token cancel) {
        const bool live = isatty(2) == 1;
        if (live && plan.settings.normalizationEnabled) {
            std::fprintf(stderr, "Analyzing loudness before playback\r");
        }
        auto stream = plan.makeStream(cancel);
        if (live) std::fprintf(stderr, "\33[2K\r");
        const double gain = stream->gain();
        if (plan.matching) {
            std::printf("Level match: %s dB\n",
                        formatDB(20 * std::log10(std::max(gain, 1e-12)), 2).c_str());
        }
        const auto began = std::chrono::steady_clock::now();
        const double cpuBefore = processCpuSeconds();
        LiveMonitor monitor(std::move(stream));
        LiveMonitor::Snapshot snapshot;
        double time = 0;
        // The application's meter rate: 30 times a second.
        while (!cancel.stop_requested()) {
            snapshot = monitor.snapshot();
            time = monitor.currentTime();
            if (live) {
                std::fprintf(stderr, "\r\33[2K%s",
                             meterLine(time, monitor.duration(), snapshot).c_str());
                std::fflush(stderr);
            }
            if (snapshot.finished) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(33));
        }
        const LiveMonitor::Statistics figures = monitor.statistics();
        monitor.stop();
        const double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        const double cpu = processCpuSeconds() - cpuBefore;
        if (live) std::fprintf(stderr, "\n");
        if (snapshot.error) throw AudioFailure(*snapshot.error);
        if (snapshot.finished) {
            std::printf("Played %s\n", clock(monitor.duration()).c_str());
        } else {
            std::printf("Stopped at %s of %s\n", clock(time).c_str(),
                        clock(monitor.duration()).c_str());
        }
        if (stats) {
            std::printf("First audio callback after %.1f ms\n",
                        figures.startupSeconds ? *figures.startupSeconds * 1000 : NAN);
            std::printf(
                "Monitor stream: %.3f s CPU for %.3f s played (%.1f%% of one core); "
                "process total %.1f%% of one core\n",
                figures.streamCpuSeconds, wall, 100 * figures.streamCpuSeconds / wall,
                100 * cpu / wall);
            std::printf("Blocks: %lld, underrun frames: %lld\n", (long long)figures.blocks,
                        (long long)figures.underrunFrames);
        }
        return 0;
    });
}

CommandRegistration registration({
    "play",
    "play IN [--start S --end S] [settings options] [--process LIST] [--mute LIST] "
    "[--solo LIST] [--original] [--match PREVIEW] [--stats]",
    "Play a recording through the live monitor with a meter line (Ctrl-C stops)",
    run,
});

}  // namespace
}  // namespace corvaline::cli
