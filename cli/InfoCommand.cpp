// corvaline-cli info [--json] [--keep DIR] [--] FILE: what the engine's analysis finds in a
// recording.

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>

#include "CliSupport.hpp"
#include "Command.hpp"
#include "audiocore/files/AudioIO.hpp"
#include "audiocore/import/MediaImport.hpp"
#include "audiocore/platform/Paths.hpp"
#include "audiocore/platform/Uuid.hpp"

namespace corvaline::cli {
namespace {

/// Level in dBFS, or no value for silence.
std::optional<double> dbfs(float linear) {
    if (!(linear > 0.0f)) return std::nullopt;
    return 20.0 * std::log10(double(linear));
}

std::string dbText(float linear) {
    const auto db = dbfs(linear);
    if (!db) return "-inf";
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", *db);
    return text;
}

/// Seconds as H:MM:SS.mmm (hours keep counting past 24 for long durations).
std::string clockText(double seconds) {
    if (!(seconds >= 0.0)) seconds = 0.0;
    const auto millis = static_cast<long long>(std::llround(seconds * 1000.0));
    char text[48];
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld.%03lld", millis / 3600000,
                  (millis / 60000) % 60, (millis / 1000) % 60, millis % 1000);
    return text;
}

nlohmann::json toJson(const AudioInfo& info) {
    using nlohmann::json;
    json channels = json::array();
    for (const ChannelInfo& channel : info.channels) {
        const auto peak = dbfs(channel.peak);
        const auto rms = dbfs(channel.rms);
        channels.push_back({{"index", channel.id + 1},
                            {"name", channel.name},
                            {"peak", channel.peak},
                            {"peakDBFS", peak ? json(*peak) : json(nullptr)},
                            {"rms", channel.rms},
                            {"rmsDBFS", rms ? json(*rms) : json(nullptr)}});
    }
    const WaveMetadata& meta = info.metadata;
    json chunks = json::array();
    for (const WaveChunk& chunk : meta.chunks) {
        chunks.push_back({{"name", chunk.name}, {"size", chunk.data.size()}});
    }
    json metadata = {{"scene", meta.scene},           {"take", meta.take},
                     {"originator", meta.originator}, {"timeReference", nullptr},
                     {"timeReferenceText", nullptr},  {"chunks", chunks}};
    if (meta.timeReference) {
        metadata["timeReference"] = *meta.timeReference;
        metadata["timeReferenceText"] = clockText(double(*meta.timeReference) / info.sampleRate);
    }
    json result = {{"file", info.sourceURL.string()},
                   {"sampleRate", info.sampleRate},
                   {"frameCount", info.frameCount},
                   {"duration", info.duration()},
                   {"durationText", clockText(info.duration())},
                   {"bitDepth", info.bitDepth},
                   {"channelCount", info.channels.size()},
                   {"channels", channels},
                   {"metadata", metadata},
                   {"warnings", info.warnings}};
    if (info.isVideo()) result["audioFile"] = info.url.string();
    return result;
}

void printText(const AudioInfo& info) {
    // Names come from the file system and the recorder: control characters are shown as
    // U+FFFD so that a file cannot move the cursor, clear the screen or forge lines.
    std::printf("File:            %s\n", printable(info.sourceURL.string()).c_str());
    if (info.isVideo()) std::printf("Audio file:      %s\n", printable(info.url.string()).c_str());
    if (info.url != info.sourceURL || MediaImport::isVideo(info.sourceURL))
        std::printf("Imported:        audio tracks extracted onto the movie's timeline\n");
    std::printf("Sample rate:     %.15g Hz\n", info.sampleRate);
    std::printf("Length:          %lld frames (%s)\n", static_cast<long long>(info.frameCount),
                clockText(info.duration()).c_str());
    if (info.bitDepth > 0) {
        std::printf("Bit depth:       %d\n", info.bitDepth);
    } else {
        std::printf("Bit depth:       n/a (compressed)\n");
    }
    std::printf("Channels:        %zu\n", info.channels.size());
    for (const ChannelInfo& channel : info.channels) {
        std::printf("  %3d  %-24s peak %8s dBFS   RMS %8s dBFS\n", channel.id + 1,
                    printable(channel.name).c_str(), dbText(channel.peak).c_str(),
                    dbText(channel.rms).c_str());
    }
    const WaveMetadata& meta = info.metadata;
    if (!meta.scene.empty()) std::printf("Scene:           %s\n", printable(meta.scene).c_str());
    if (!meta.take.empty()) std::printf("Take:            %s\n", printable(meta.take).c_str());
    if (!meta.originator.empty())
        std::printf("Originator:      %s\n", printable(meta.originator).c_str());
    if (meta.timeReference) {
        std::printf("Time reference:  %s (%llu samples)\n",
                    clockText(double(*meta.timeReference) / info.sampleRate).c_str(),
                    static_cast<unsigned long long>(*meta.timeReference));
    }
    if (!meta.chunks.empty()) {
        std::string names;
        for (const WaveChunk& chunk : meta.chunks)
            names += (names.empty() ? "" : ", ") + chunk.name;
        std::printf("Recorder chunks: %s\n", printable(names).c_str());
    }
    for (const std::string& warning : info.warnings)
        std::printf("Warning:         %s\n", printable(warning).c_str());
}

int runInfo(const std::vector<std::string>& argv) {
    Arguments args(argv);
    const bool json = args.flag("--json");
    const auto keepText = args.option("--keep");
    const auto positionals = args.positionals();
    if (positionals.size() > 1) throw UsageError{"only one FILE may be given"};
    const std::optional<std::string> file =
        positionals.empty() ? std::nullopt : std::optional<std::string>(positionals[0]);
    std::optional<std::filesystem::path> keep;
    if (keepText) keep = *keepText;
    if (!file) throw UsageError{"missing FILE"};
    // The warnings are part of the report itself.
    const InputRecording recording(*file, keep, true);
    AudioInfo info = recording.imported() ? *recording.imported() : AudioIO::analyze(*file);
    // Without --keep the extracted audio is removed on exit: don't point at it.
    if (!keep) info.url = info.sourceURL;
    if (json) {
        std::cout << toJson(info).dump(2, ' ', false, nlohmann::json::error_handler_t::replace)
                  << '\n';
    } else {
        printText(info);
    }
    return 0;
}

const CommandRegistration registration{Command{
    "info", "info [--json] [--keep DIR] [--] FILE",
    "Show rate, length, bit depth, channel levels and recorder metadata of a file (videos and "
    "MXF are extracted first; --keep DIR keeps the extracted audio there).",
    runInfo}};

}  // namespace
}  // namespace corvaline::cli
