#pragma once
// Media assets of videos through FFmpeg's libavformat/libavcodec/libswresample: the audio
// tracks of a container in order, their formats and time ranges, the container duration, and
// a reader that decodes one track to 32-bit float non-interleaved buffers at the track's own
// rate with presentation times on the movie's timeline.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "audiocore/import/TrackExtraction.hpp"

struct AVFormatContext;

namespace corvaline::MediaImport {

/// One audio track as the container describes it.
struct AssetTrack {
    int streamIndex = -1;   ///< stream number in the container
    double sampleRate = 0;  ///< Hz; 0 when the container gives none
    int channels = 0;       ///< channels per frame; 0 when unknown
    double start = 0;       ///< time range start, seconds on the movie's timeline (>= 0)
    double end = 0;         ///< time range end, seconds
};

/// An opened container. Throws LibraryError (FFmpeg's text) when it cannot be opened.
class MediaAsset {
  public:
    explicit MediaAsset(const std::filesystem::path& url);
    ~MediaAsset();
    MediaAsset(const MediaAsset&) = delete;
    MediaAsset& operator=(const MediaAsset&) = delete;

    const std::filesystem::path& url() const { return url_; }
    /// Audio tracks in container order.
    const std::vector<AssetTrack>& audioTracks() const { return tracks_; }
    /// Container duration in seconds; NaN when unknown.
    double duration() const { return duration_; }
    /// Container start time in seconds, subtracted from every timestamp (0 or positive).
    double origin() const { return origin_; }

  private:
    std::filesystem::path url_;
    std::vector<AssetTrack> tracks_;
    double duration_ = 0;
    double origin_ = 0;
};

/// Decodes one track. Construction throws "macOS cannot decode this video's audio codec."
/// when no decoder accepts the track, and LibraryError (or "Could not read the video's
/// audio.") when reading cannot start.
std::unique_ptr<TrackSource> openTrack(const MediaAsset& asset, const AssetTrack& track);

}  // namespace corvaline::MediaImport
