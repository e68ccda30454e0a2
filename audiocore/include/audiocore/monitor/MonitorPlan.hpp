#pragma once
// What the live monitor plays: which file and frames, with which settings and channel flags,
// whether to level-match against a rendered preview, and over which frames the loudness
// normalisation is planned. Built fresh for every start of playback; a plain value that may
// be handed to any thread.

#include <filesystem>
#include <memory>
#include <optional>
#include <stop_token>
#include <vector>

#include "audiocore/finishing/OriginalAudioReference.hpp"
#include "audiocore/model/AudioFrameRange.hpp"
#include "audiocore/model/AudioInfo.hpp"
#include "audiocore/model/ProcessingSettings.hpp"
#include "audiocore/monitor/MonitorStream.hpp"

namespace corvaline {

struct MonitorPlan {
    std::filesystem::path source;                     ///< the recording, or a restoration of it
    std::optional<AudioFrameRange> range;             ///< frames of `source`; none = whole file
    ProcessingSettings settings;                      ///< finishing settings of the stream
    std::vector<ChannelSettings> channels;            ///< process / mute / solo per channel
    std::filesystem::path reference;                  ///< level-match reference: the recording
    std::optional<AudioFrameRange> referenceRange;    ///< passage of `reference` to measure
    std::optional<std::filesystem::path> compared;    ///< level-match counterpart (the preview)
    std::optional<AudioFrameRange> comparedRange;     ///< passage of `compared` to measure
    bool matching = false;                            ///< apply level matching
    bool processed = false;                           ///< the stream plays the processed side
    std::optional<OriginalAudioReference> original;   ///< Original Mix source
    std::optional<OriginalAudioReference> sidechain;  ///< lav-bleed detector source
    std::optional<AudioFrameRange>
        normalizationRange;  ///< frames the normalisation is planned over

    friend bool operator==(const MonitorPlan&, const MonitorPlan&) = default;

    /// Computes the level-match gain (the compared side's gain when `processed`, the
    /// reference's otherwise; 1 without matching or without `compared`), plans the loudness
    /// normalisation when it is on, and opens the DSPStream. Reads files: call it off the main
    /// thread. Failures of the level match ("Level comparison requires the same audition
    /// passage.", "Invalid level-matching passage.", "Invalid monitor audio."), of the
    /// normalisation plan and of the DSPStream propagate; Cancelled is checked per chunk.
    std::unique_ptr<MonitorStream> makeStream(std::stop_token cancel = {}) const;

    /// The level-match gain makeStream applies (step shared with the application's display).
    double levelMatchGain(std::stop_token cancel = {}) const;
};

}  // namespace corvaline
