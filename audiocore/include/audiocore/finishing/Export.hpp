#pragma once
// AudioExport: the finished full-length recording written to the user's WAV file.
//
// The export re-renders a full-file restoration through the finishing chain with the current
// settings. 32-bit exports render straight into a working file beside the destination (unnamed
// where the file system allows it, so that even a kill leaves nothing; else a hidden
// ".corvaline-<UUID>.wav"). 24-bit exports first render 32-bit float (into the workspace), refuse a
// result above 0 dBFS, then convert it in a neutral pass (no EQ, compressor or limiter) that
// proves the true-peak ceiling when the settings promise one. The recorder metadata is
// appended, and only the complete file is moved onto the destination: a failed or cancelled
// export never leaves a partial file under the chosen name, and every intermediate is removed
// on every outcome.

#include <filesystem>
#include <optional>
#include <stop_token>
#include <vector>

#include "audiocore/finishing/OriginalAudioReference.hpp"
#include "audiocore/model/AudioInfo.hpp"
#include "audiocore/model/ProcessingSettings.hpp"
#include "audiocore/model/WaveMetadata.hpp"
#include "audiocore/platform/Progress.hpp"

namespace corvaline::AudioExport {

inline constexpr const char* protectSourceMessage =
    "Choose a different name to protect the source recording.";
inline constexpr const char* clippingMessage =
    "Audio exceeds 0 dBFS. Enable the limiter or lower output gain before 24-bit export.";

struct Request {
    /// The full-file restoration to finish (or the recording itself when nothing restored it).
    std::filesystem::path restoration;
    /// The WAV file the user chose.
    std::filesystem::path destination;
    /// The recording as the user imported it; never written, never replaced.
    std::filesystem::path sourceRecording;
    ProcessingSettings settings;
    std::vector<ChannelSettings> channels;
    int bits = 32;  ///< 32 (float) or 24 (PCM)
    WaveMetadata metadata;
    std::optional<OriginalAudioReference> original;   ///< Original Mix source (Sidon blends)
    std::optional<OriginalAudioReference> sidechain;  ///< lav-bleed detector input
    /// Folder for the 24-bit export's float intermediate (a working file); none = the
    /// destination's folder.
    std::optional<std::filesystem::path> workspace;
};

/// The ceiling a 24-bit export must be proven to meet: the settings' ceiling when
/// normalisation is on or the limiter runs with true peak, else none.
std::optional<double> verifiedCeiling(const ProcessingSettings& settings);

/// Runs the export. Progress: the float pass covers 0...1 for 32-bit and 0...0.8 for 24-bit,
/// whose conversion pass covers 0.8...1.
///
/// Throws AudioFailure protectSourceMessage (the destination is the source recording, the
/// restoration, the original or the sidechain file, symbolic links resolved),
/// clippingMessage (a 24-bit export whose float render peaks above 1.0 in any channel),
/// "Could not write “NAME”: it is a folder, not a file. ..." and the like (checkDestination:
/// the destination exists and is a folder, link, pipe, device or socket, or its folder is
/// missing or not writable), the failures of AudioDSP::render and WaveMetadata::append;
/// file errors and Cancelled unchanged. The destination is untouched unless it succeeded.
void exportRecording(const Request& request, const ProgressCallback& progress = {},
                     std::stop_token cancel = {});

}  // namespace corvaline::AudioExport
