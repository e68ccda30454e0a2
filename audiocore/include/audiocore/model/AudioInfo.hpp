#pragma once
// The description of one imported recording and of its channels.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "audiocore/model/WaveMetadata.hpp"

namespace corvaline {

/// The analysed overview of one channel.
struct ChannelInfo {
    int id = 0;                   ///< channel index, 0-based, file order
    std::string name;             ///< recorder track name or "Channel N"
    std::vector<float> waveform;  ///< overview points: one peak per point, linear
    float peak = 0;               ///< whole-channel sample peak, linear
    float rms = 0;                ///< whole-channel RMS, linear
    friend bool operator==(const ChannelInfo&, const ChannelInfo&) = default;
};

/// One imported recording as the application holds it.
struct AudioInfo {
    std::string id;                   ///< fresh random UUID, identity in lists
    std::filesystem::path url;        ///< the audio file the engine reads
    std::filesystem::path sourceURL;  ///< the file the user imported (== url unless extracted)
    double sampleRate = 0;
    int64_t frameCount = 0;
    int bitDepth = 0;  ///< bits per sample of the stored source format
    std::vector<ChannelInfo> channels;
    WaveMetadata metadata;
    /// Things the user should know about the file, one sentence each (for example a recording
    /// whose data chunk declares more frames than it holds). Shown with the import.
    std::vector<std::string> warnings;

    AudioInfo() = default;
    /// Creates the record with a new id; `sourceURL` defaults to `url`.
    AudioInfo(std::filesystem::path url, double sampleRate, int64_t frameCount, int bitDepth,
              std::vector<ChannelInfo> channels, WaveMetadata metadata,
              std::optional<std::filesystem::path> sourceURL = std::nullopt);

    double duration() const { return sampleRate > 0 ? double(frameCount) / sampleRate : 0.0; }
    /// True when the audio was extracted from a video or MXF container.
    bool isVideo() const { return url != sourceURL; }
    int channelCount() const { return int(channels.size()); }
};

/// The user's per-channel flags.
struct ChannelSettings {
    bool process = true;  ///< goes through restoration and the finishing chain
    bool mute = false;    ///< silenced in monitoring only
    bool solo = false;    ///< monitoring solo
    friend bool operator==(const ChannelSettings&, const ChannelSettings&) = default;
};

}  // namespace corvaline
