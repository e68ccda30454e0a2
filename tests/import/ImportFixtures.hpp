#pragma once
// Fixtures of the import tests: media files made with the system's ffmpeg program at test
// time, and whole-file reads for checking results sample by sample.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "TestSupport.hpp"
#include "audiocore/files/AudioIO.hpp"
#include "audiocore/platform/Process.hpp"

namespace corvaline::test {

/// Runs /usr/bin/ffmpeg with `arguments` (after "-hide_banner -loglevel error -y"); fails the
/// test with its error output when it does not succeed.
inline void ffmpeg(const std::vector<std::string>& arguments) {
    ProcessOptions options;
    options.executable = "/usr/bin/ffmpeg";
    options.arguments = {"-hide_banner", "-loglevel", "error", "-y", "-nostdin"};
    options.arguments.insert(options.arguments.end(), arguments.begin(), arguments.end());
    options.standardError = ProcessOutput::captured(8000, ProcessOutput::Keep::tail);
    const ProcessResult result = runProcess(options);
    ASSERT_TRUE(result.succeeded()) << result.standardError;
}

/// A lavfi sine source: amplitude x sin(2 pi f t) at `rate` for `seconds`.
inline std::vector<std::string> sine(double amplitude, double frequency, int rate, double seconds) {
    return {"-f", "lavfi", "-i",
            "aevalsrc=" + std::to_string(amplitude) + "*sin(2*PI*" + std::to_string(frequency) +
                "*t):s=" + std::to_string(rate) + ":d=" + std::to_string(seconds)};
}

/// Every channel of an audio file as floats.
inline std::vector<std::vector<float>> readChannels(const std::filesystem::path& path) {
    auto reader = AudioIO::open(path);
    std::vector<std::vector<float>> channels(size_t(reader->channelCount()));
    AudioBuffer buffer(reader->channelCount(), AudioIO::kBlockFrames);
    while (reader->read(buffer, AudioIO::kBlockFrames) > 0)
        for (int c = 0; c < reader->channelCount(); ++c)
            channels[size_t(c)].insert(channels[size_t(c)].end(), buffer.channel(c),
                                       buffer.channel(c) + buffer.frameLength());
    return channels;
}

/// Entries of a folder (names only).
inline std::vector<std::string> listFolder(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    if (!std::filesystem::exists(folder)) return names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace corvaline::test

namespace corvaline::test {

/// One audio track as the ffmpeg program decodes it: interleaved float samples at the track's
/// own rate, and the presentation time of its first decoded frame.
struct ReferenceTrack {
    int channels = 0;
    double rate = 0;
    double firstTime = 0;
    std::vector<float> samples;
    float at(int64_t frame, int channel) const {
        return samples[size_t(frame) * size_t(channels) + size_t(channel)];
    }
    int64_t frames() const { return int64_t(samples.size()) / std::max(channels, 1); }
};

/// Decodes audio track `track` (0-based among the audio tracks) of `path` with the ffmpeg
/// program, without resampling or moving anything in time.
inline ReferenceTrack referenceDecode(const std::filesystem::path& path, int track) {
    ReferenceTrack ref;
    const std::string stream = "a:" + std::to_string(track);
    const std::string quoted = shellQuote(path.string());
    const auto probe = runShell("ffprobe -v error -select_streams " + stream +
                                " -show_entries stream=channels,sample_rate -of csv=p=0 " + quoted);
    std::sscanf(probe.output.c_str(), "%lf,%d", &ref.rate, &ref.channels);
    const auto frames =
        runShell("ffprobe -v error -select_streams " + stream +
                 " -show_entries frame=pts_time -of csv=p=0 " + quoted + " | head -n 1");
    ref.firstTime = std::atof(frames.output.c_str());
    const auto decoded = runShell("ffmpeg -v error -nostdin -i " + quoted + " -map 0:" + stream +
                                  " -f f32le - 2>/dev/null");
    ref.samples.resize(decoded.output.size() / 4);
    std::memcpy(ref.samples.data(), decoded.output.data(), ref.samples.size() * 4);
    return ref;
}

}  // namespace corvaline::test
