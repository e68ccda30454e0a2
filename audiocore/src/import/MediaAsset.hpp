#pragma once
// Media assets of videos: the audio tracks of a container in order, their formats and time
// ranges on the movie's timeline, the container duration, and a reader that decodes one track
// (through the engine's one FFmpeg decoder) to 32-bit float buffers at the track's own rate.
//
// The movie's timeline is the container's own where its timestamps already are one (MP4/MOV
// with their edit lists, Matroska, ...): a track that starts 2 s in stays at 2 s. Containers
// with arbitrary timestamps (MPEG transport and program streams) start their timeline at the
// container's first timestamp.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "audiocore/files/FFmpegDecoder.hpp"
#include "audiocore/import/TrackExtraction.hpp"

namespace corvaline::MediaImport {

/// One audio track as the container describes it.
struct AssetTrack {
    int streamIndex = -1;    ///< stream number in the container
    double sampleRate = 0;   ///< Hz; 0 when the container gives none
    int channels = 0;        ///< channels per frame; 0 when unknown
    std::string codec;       ///< FFmpeg's codec name
    bool decodable = false;  ///< FFmpeg has a decoder for it
    double start = 0;        ///< time range start, seconds on the movie's timeline (>= 0)
    double end = 0;          ///< time range end, seconds
};

/// An opened container. Throws AudioFailure naming the file when it cannot be read.
class MediaAsset {
  public:
    explicit MediaAsset(const std::filesystem::path& url);

    const std::filesystem::path& url() const { return url_; }
    /// Audio tracks in container order.
    const std::vector<AssetTrack>& audioTracks() const { return tracks_; }
    /// Container duration in seconds on the movie's timeline; NaN when unknown.
    double duration() const { return duration_; }
    /// Seconds subtracted from every timestamp: the container's start for containers with
    /// arbitrary timestamps, otherwise 0.
    double origin() const { return origin_; }
    /// How far the container's data reaches on the movie's timeline, in seconds, where an
    /// index of every packet tells it (MP4/MOV sample tables); NaN elsewhere.
    double indexedEnd() const { return indexedEnd_; }
    /// Bytes of the file on disk.
    int64_t fileSize() const { return fileSize_; }

  private:
    std::filesystem::path url_;
    std::vector<AssetTrack> tracks_;
    double duration_ = 0;
    double origin_ = 0;
    double indexedEnd_ = 0;
    int64_t fileSize_ = 0;
};

/// Readers of every audio track, in order. `heldBytes` above 0: one pass over the container
/// feeds all of them (their next() throws FFmpegDecoder::Unshareable when the tracks lie so
/// far apart in the file that more than `heldBytes` of packets would wait for a reader); 0:
/// each track reads the container on its own.
/// Throws AudioFailure naming the file ("Could not read “x.mov”: FFmpeg cannot decode this
/// video's audio codec (CODEC).") when no decoder accepts a track, or reading cannot start.
std::vector<std::unique_ptr<TrackSource>> openTracks(const MediaAsset& asset, size_t heldBytes);

}  // namespace corvaline::MediaImport
