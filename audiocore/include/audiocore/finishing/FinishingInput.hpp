#pragma once
// The inputs that travel together through the finishing engine: which file and frames to
// finish, with which settings and channel flags, and the two files on its timeline (the
// original for the Original Mix, the lav-detection sidechain).
//
// A DSPStream opens one, LoudnessNormalization::plan measures one (and keys its cache on it),
// AudioDSP::render finishes one. A plain value, copied freely between threads.

#include <filesystem>
#include <optional>
#include <vector>

#include "audiocore/finishing/OriginalAudioReference.hpp"
#include "audiocore/model/AudioFrameRange.hpp"
#include "audiocore/model/AudioInfo.hpp"
#include "audiocore/model/ProcessingSettings.hpp"

namespace corvaline {

struct FinishingInput {
    std::filesystem::path source;           ///< the file to finish (or a restoration of it)
    std::optional<AudioFrameRange> range;   ///< frames of `source`; none = the whole file
    ProcessingSettings settings;            ///< the finishing settings
    std::vector<ChannelSettings> channels;  ///< per-channel flags (a channel beyond: processed)
    std::optional<OriginalAudioReference> original;   ///< Original Mix source
    std::optional<OriginalAudioReference> sidechain;  ///< lav detection source

    /// The process flags of `channels`.
    std::vector<bool> selected() const {
        std::vector<bool> flags;
        flags.reserve(channels.size());
        for (const ChannelSettings& channel : channels)
            flags.push_back(channel.process);
        return flags;
    }

    friend bool operator==(const FinishingInput&, const FinishingInput&) = default;
};

}  // namespace corvaline
