// corvaline-cli info FILE [--json] [--keep DIR]: what the engine's analysis finds in a recording.

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
                   {"metadata", metadata}};
    if (info.isVideo()) result["audioFile"] = info.url.string();
    return result;
}

void printText(const AudioInfo& info) {
    std::printf("File:            %s\n", info.sourceURL.c_str());
    if (info.isVideo()) std::printf("Audio file:      %s\n", info.url.c_str());
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
                    channel.name.c_str(), dbText(channel.peak).c_str(),
                    dbText(channel.rms).c_str());
    }
    const WaveMetadata& meta = info.metadata;
    if (!meta.scene.empty()) std::printf("Scene:           %s\n", meta.scene.c_str());
    if (!meta.take.empty()) std::printf("Take:            %s\n", meta.take.c_str());
    if (!meta.originator.empty()) std::printf("Originator:      %s\n", meta.originator.c_str());
    if (meta.timeReference) {
        std::printf("Time reference:  %s (%llu samples)\n",
                    clockText(double(*meta.timeReference) / info.sampleRate).c_str(),
                    static_cast<unsigned long long>(*meta.timeReference));
    }
    if (!meta.chunks.empty()) {
        std::string names;
        for (const WaveChunk& chunk : meta.chunks)
            names += (names.empty() ? "" : ", ") + chunk.name;
        std::printf("Recorder chunks: %s\n", names.c_str());
    }
}

int runInfo(const std::vector<std::string>& args) {
    bool json = false;
    std::optional<std::string> file;
    std::optional<std::filesystem::path> keep;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--json") {
            json = true;
        } else if (arg == "--keep") {
            if (i + 1 == args.size()) throw UsageError{"--keep needs a folder"};
            keep = args[++i];
        } else if (arg.size() > 1 && arg[0] == '-' && !file) {
            throw UsageError{"unknown option \"" + arg + "\""};
        } else if (!file) {
            file = arg;
        } else {
            throw UsageError{"only one FILE may be given"};
        }
    }
    if (!file) throw UsageError{"missing FILE"};
    const InputRecording recording(*file, keep);
    AudioInfo info = recording.imported() ? *recording.imported() : AudioIO::analyze(*file);
    // Without --keep the extracted audio is removed on exit: don't point at it.
    if (!keep) info.url = info.sourceURL;
    if (json) {
        std::cout << toJson(info).dump(2) << '\n';
    } else {
        printText(info);
    }
    return 0;
}

const CommandRegistration registration{Command{
    "info", "info FILE [--json] [--keep DIR]",
    "Show rate, length, bit depth, channel levels and recorder metadata of a file (videos and "
    "MXF are extracted first; --keep DIR keeps the extracted audio there).",
    runInfo}};

}  // namespace
}  // namespace corvaline::cli
