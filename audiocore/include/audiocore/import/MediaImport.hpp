#pragma once
// Import of whatever the user opens: audio files go straight to analysis; every audio track of
// a video is decoded into one multichannel 32-bit float CAF in a private folder of the working
// directory, track order becoming channel order, every track on the movie's timeline (delayed
// starts and gaps become silence). MXF files go to MXFImport, which shares `merge` and
// `describe`. The imported file is never modified and no picture is decoded.
//
// The import folder ("Video-" + UUID inside the workspace) holds "Audio.caf": every track
// decoded once, straight into it at the common rate (the highest track rate), in blocks of
// 32768 frames that are analysed on their way (the file is not read back). The timeline is
// round(duration x rate) frames, or longer when a track runs past it. The folder is removed on
// every failure and on cancellation. A declared duration far beyond what the container holds is
// refused, and free space for the extracted audio is checked before anything is written.
//
// Failures (AudioFailure; from read() with the file named in front: "Could not import
// “take.mov”. This video has no audio track."): "This video has no audio track.",
// "The video's audio format is not supported by FFmpeg.",
// "Video import supports up to 128 audio channels and 384 kHz.",
// "The video has an invalid duration." (with the declared and the real length on a second
// line when the header claims far more than the data), "The video has an invalid audio track
// range.", "FFmpeg cannot decode this video's audio codec (<codec>).",
// "Not enough free disk space to extract this video's audio.",
// "The video's audio format changes during playback.", "The video has invalid audio
// timestamps.", "The video's audio timestamps exceed its duration.", "Could not decode the
// video's audio samples (<status>).", "Video audio extraction did not finish.",
// "The video's audio track is empty.", "Could not align the video's audio sample rates.",
// "Video audio resampling failed.", "Video audio resampling stalled.",
// "Sample-rate conversion changed the video's audio duration.",
// "A decoded video track ended unexpectedly." (merge). Reading and decoding failures are
// AudioFailure texts naming the file ("Could not read “take.mov”: the file is damaged or is
// not a recording FFmpeg can read."); file-system errors pass as
// std::filesystem::filesystem_error / system_error, cancellation as Cancelled.

#include <cstdint>
#include <filesystem>
#include <stop_token>
#include <string>
#include <vector>

#include "audiocore/import/MXFImport.hpp"
#include "audiocore/model/AudioInfo.hpp"
#include "audiocore/platform/Progress.hpp"

namespace corvaline::MediaImport {

/// Most channels over all tracks of one import.
inline constexpr int kMaxImportChannels = 128;
/// Highest common sample rate of a video import, in Hz.
inline constexpr double kMaxImportRate = 384000;
/// Frame positions stay below 2^62.
inline constexpr double kFrameLimit = 4611686018427387904.0;

/// Free space a video import asks for beyond its extracted audio, in bytes.
inline constexpr uint64_t kFreeSpaceMargin = 100000000;

/// Free bytes a video import of `channels` channels and `frames` timeline frames needs: the
/// 32-bit float "Audio.caf" plus kFreeSpaceMargin.
constexpr uint64_t extractionBytes(int channels, int64_t frames) {
    return uint64_t(channels) * uint64_t(frames) * 4u + kFreeSpaceMargin;
}

/// What an import asks of the machine around it. Every import runs with the defaults; tests
/// narrow them to reach what a real machine rarely does (a full disk, tracks far apart).
struct ImportEnvironment {
    /// Answers the free-space checks of video and MXF imports (empty: statvfs).
    MXFImport::FreeSpaceQuery freeSpace;
    /// Packets held in memory for tracks read together in one pass over the container; a
    /// container whose tracks lie further apart is read once per track instead.
    size_t maxHeldBytes = size_t(64) << 20;
};

/// One entry of the open dialog's type list.
struct ContentType {
    std::string name;                   ///< "Audio", "Movie", "WAV", ...
    std::vector<std::string> patterns;  ///< "*.wav", "*.WAV", ...
    friend bool operator==(const ContentType&, const ContentType&) = default;
};

/// True when the lower-cased extension names a video container: "mp4", "mov", "m4v", "mxf",
/// or another extension the system treats as a movie ("mkv", "webm", "avi", "mts", ...).
bool isVideo(const std::filesystem::path& url);

/// The types offered by the import dialog, in order: audio, movie, WAV, AIFF, MP3, MPEG-4
/// audio, MXF. Patterns are given in lower and upper case.
std::vector<ContentType> contentTypes();

/// Every pattern of contentTypes() once, in order (for a single "all supported" filter).
std::vector<std::string> filePatterns();

/// Imports `url`. Not a video: AudioIO::analyze. A video: creates "Video-" + UUID in
/// `workspace` (with intermediate folders), extracts its audio there and returns
/// the description of "Audio.caf" with `sourceURL` = `url`. MXF goes through MXFImport with
/// helper programs from `mxfHelpers` (empty: the "MXF" resource folder). Progress runs 0 to 1,
/// at most ten reports a second. Cancellation is checked once per block or buffer.
AudioInfo read(const std::filesystem::path& url, const std::filesystem::path& workspace,
               const ProgressCallback& progress = {}, std::stop_token cancel = {},
               const std::filesystem::path& mxfHelpers = {});
/// The same with `environment` in place of the defaults.
AudioInfo read(const std::filesystem::path& url, const std::filesystem::path& workspace,
               const ImportEnvironment& environment, const ProgressCallback& progress = {},
               std::stop_token cancel = {}, const std::filesystem::path& mxfHelpers = {});

/// Analyses the merged file `audio` and names channel k "Track t / Channel c" from the
/// per-track channel `counts` (channels beyond the counts keep their analysed names). The
/// result has a new id, `url` = `audio` and `sourceURL` = `source`.
AudioInfo describe(const std::filesystem::path& source, const std::filesystem::path& audio,
                   const std::vector<int>& counts, std::stop_token cancel = {});

/// Merges per-track files (in order) into one 32-bit float file of `channels` channels at
/// `rate`: file i fills the channels after those of the files before it; shorter files end in
/// silence; the result is max(`duration`, longest file) frames. `progress` receives the
/// fraction of frames done (callers map it into their own range). Throws "A decoded video
/// track ended unexpectedly." when a file delivers fewer frames than its length.
void merge(const std::vector<std::filesystem::path>& files,
           const std::filesystem::path& destination, double rate, int channels, int64_t duration,
           const ProgressCallback& progress = {}, std::stop_token cancel = {});

}  // namespace corvaline::MediaImport
