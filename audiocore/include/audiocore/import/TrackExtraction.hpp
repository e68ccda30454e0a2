#pragma once
// The steps of a video import below MediaImport::read, exposed so that they can be driven by
// sources other than a real file (and tested with timestamps a real file cannot carry):
// placing one track's sample buffers on the movie's timeline, and bringing it to the common
// rate through the engine's rate converter, block by block.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

#include "audiocore/files/AudioFile.hpp"
#include "audiocore/import/RateConverter.hpp"
#include "audiocore/model/AudioBuffer.hpp"
#include "audiocore/platform/Progress.hpp"

namespace corvaline::MediaImport {

/// Frames moved per block by every import loop.
inline constexpr uint32_t kImportBlock = 32768;

/// The stream description and timing of one delivered sample buffer.
struct SampleBuffer {
    bool hasFormat = true;        ///< false: the buffer carries no stream description
    double sampleRate = 0;        ///< Hz
    int channels = 0;             ///< channels per frame
    double presentationTime = 0;  ///< seconds on the movie's timeline
    int64_t frames = 0;           ///< frames in the buffer
};

/// A reader that delivers one track as 32-bit float non-interleaved buffers at the track's
/// rate, buffer by buffer.
class TrackSource {
  public:
    virtual ~TrackSource() = default;
    /// Describes the next buffer in `buffer`; false when no more buffers arrive (at the end, or
    /// because reading failed: see completed() and error()).
    virtual bool next(SampleBuffer& buffer) = 0;
    /// Copies `count` frames of the current buffer, starting at frame `from`, into frames
    /// 0..count-1 of the planes `into` (one per channel of the buffer). Returns 0 on success,
    /// otherwise a status code.
    virtual int copy(int64_t from, uint32_t count, float* const* into) = 0;
    /// True when reading reached the end of the track normally.
    virtual bool completed() const = 0;
    /// The reader's error text when reading failed; empty when it gave none.
    virtual std::string error() const = 0;
};

/// What decodeTrack needs to know about a track.
struct TrackPlan {
    double rate = 0;          ///< the track's own sample rate, Hz
    int channels = 0;         ///< the track's channel count
    int64_t startFrame = 0;   ///< time range start at `rate`
    int64_t endFrame = 0;     ///< time range end at `rate`
    int64_t trackFrames = 0;  ///< round(rate x asset duration)
    int index = 0;            ///< 0-based track number (for progress)
    int trackCount = 1;       ///< tracks in the import (for progress)
};

/// The channel layout and timeline of a video import.
struct VideoLayout {
    std::vector<int> counts;  ///< channels per track, in track order
    double rate = 0;          ///< common rate: the highest track rate
    int64_t frames = 0;       ///< round(duration x rate)
};

/// Checks the tracks' (rate, channels) pairs and the asset duration in seconds. Throws
/// "The video's audio format is not supported by FFmpeg." (a rate not finite and positive, or
/// no channels), "Video import supports up to 128 audio channels and 384 kHz." and "The video
/// has an invalid duration." (not finite and positive, or reaching 2^62 frames).
VideoLayout videoLayout(const std::vector<std::pair<double, int>>& tracks, double duration);

/// Frame range of a track's time range (seconds) at `rate`. Throws "The video has an invalid
/// audio track range." unless 0 <= start <= end < 2^62.
std::pair<int64_t, int64_t> trackFrameRange(double rate, double startSeconds, double endSeconds);

/// One track on the movie's timeline at its own rate, pulled block by block: each buffer is
/// placed at round(rate x presentation time); gaps become silence, frames overlapping audio
/// already delivered are dropped, audio past endFrame is dropped, and a buffer starting more
/// than one second past trackFrames fails. The track ends at its last placed frame. Throws
/// the Part's messages ("The video's audio format changes during playback.", "The video has
/// invalid audio timestamps.", "The video's audio timestamps exceed its duration.", "Could not
/// decode the video's audio samples (<status>).", "Video audio extraction did not finish.",
/// "The video's audio track is empty."), the reader's error as LibraryError, and Cancelled
/// (checked once per pull).
class PlacedTrack {
  public:
    PlacedTrack(TrackSource& source, const TrackPlan& plan, std::stop_token cancel = {});
    /// Writes up to `frames` frames into frames 0... of the planes `out` (plan.channels of
    /// them); fewer only at the end of the track, 0 after it.
    uint32_t pull(float* const* out, uint32_t frames);
    /// Frames delivered so far.
    int64_t delivered() const { return written_; }
    bool ended() const { return ended_; }

  private:
    bool advance();

    TrackSource& source_;
    TrackPlan plan_;
    std::stop_token cancel_;
    SampleBuffer buffer_;
    std::vector<float*> shifted_;
    int64_t written_ = 0;
    int64_t target_ = 0;  ///< silence runs up to here before the current buffer's frames
    int64_t skip_ = 0;    ///< next frame of the current buffer to deliver
    int64_t usable_ = 0;  ///< frames of the current buffer inside the track's range
    bool ended_ = false;
};

/// A track brought to the import's common rate: the placed track as it is when the rates
/// agree, otherwise converted with RateConverter to round(rate x placed length / track rate)
/// frames (one missing frame is silence). Throws PlacedTrack's failures, "Could not align the
/// video's audio sample rates.", "Video audio resampling failed.", "Video audio resampling
/// stalled." and "Sample-rate conversion changed the video's audio duration.".
class TrackLane {
  public:
    TrackLane(TrackSource& source, const TrackPlan& plan, double commonRate,
              std::stop_token cancel = {});
    ~TrackLane();
    /// Writes up to `frames` frames at the common rate into the planes `out`; fewer only at
    /// the end of the track, 0 after it.
    uint32_t pull(float* const* out, uint32_t frames);
    bool ended() const { return ended_; }
    int channels() const { return channels_; }

  private:
    PlacedTrack placed_;
    std::unique_ptr<RateConverter> converter_;
    RateConverter::Pull feed_;
    std::vector<float*> shifted_;
    int channels_ = 0;
    double rate_ = 0;
    double commonRate_ = 0;
    int64_t produced_ = 0;
    int64_t expected_ = 0;  ///< converted length, known once the placed track has ended
    bool converterDone_ = false;
    bool ended_ = false;
};

/// Decodes `source` into a new 32-bit float file at `destination` through PlacedTrack (the
/// file ends at the last placed frame). Progress is
/// ((min(written / trackFrames, 1) x 0.6) + index) x 0.8 / trackCount.
void decodeTrack(TrackSource& source, const TrackPlan& plan,
                 const std::filesystem::path& destination, ProgressLimiter* progress,
                 std::stop_token cancel);

/// Frames of a track of `length` frames at `rate` once converted to `commonRate`.
int64_t convertedLength(int64_t length, double rate, double commonRate);

}  // namespace corvaline::MediaImport
