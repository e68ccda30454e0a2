#pragma once
// The steps of a video import below MediaImport::read, exposed so that they can be driven by
// sources other than a real file (and tested with timestamps a real file cannot carry):
// decoding one track's sample buffers onto the movie's timeline, and converting a track file
// to the common rate through a pull-driven high-quality rate converter.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

#include "audiocore/files/AudioFile.hpp"
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
    /// 0..count-1 of `into` (which has the buffer's channel count) and sets its frame length.
    /// Returns 0 on success, otherwise a status code.
    virtual int copy(int64_t from, uint32_t count, AudioBuffer& into) = 0;
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
/// "The video's audio format is not supported by macOS." (a rate not finite and positive, or
/// no channels), "Video import supports up to 128 audio channels and 384 kHz." and "The video
/// has an invalid duration." (not finite and positive, or reaching 2^62 frames).
VideoLayout videoLayout(const std::vector<std::pair<double, int>>& tracks, double duration);

/// Frame range of a track's time range (seconds) at `rate`. Throws "The video has an invalid
/// audio track range." unless 0 <= start <= end < 2^62.
std::pair<int64_t, int64_t> trackFrameRange(double rate, double startSeconds, double endSeconds);

/// Decodes `source` into a new 32-bit float file at `destination`, placing each buffer at
/// round(rate x presentation time): gaps become silence, frames overlapping audio already
/// written are dropped, audio past endFrame is dropped, and a buffer starting more than one
/// second past trackFrames fails. The file ends at the last written frame. Progress is
/// ((min(written / trackFrames, 1) x 0.6) + index) x 0.8 / trackCount.
void decodeTrack(TrackSource& source, const TrackPlan& plan,
                 const std::filesystem::path& destination, ProgressLimiter* progress,
                 std::stop_token cancel);

/// Sample-rate converter between two 32-bit float non-interleaved formats with the
/// very-high-quality recipe, fed by a pull callback.
class RateConverter {
  public:
    /// What a pull delivered.
    enum class Input { data, noData, endOfStream };
    /// Fills `into` with up to `requested` frames (setting its frame length) and reports data;
    /// or reports that nothing is available now, or that the input has ended. May throw (the
    /// exception reaches the caller of convert).
    using Pull = std::function<Input(AudioBuffer& into, uint32_t requested)>;

    /// Throws "Could not align the video's audio sample rates." when the converter cannot be
    /// made (rates not finite and positive, channels outside 1...128, library refusal).
    /// `inputBlock` is the most frames one pull is asked for (1...32768).
    RateConverter(double inputRate, double outputRate, int channels,
                  uint32_t inputBlock = kImportBlock);
    ~RateConverter();
    RateConverter(const RateConverter&) = delete;
    RateConverter& operator=(const RateConverter&) = delete;

    /// Produces up to `maxFrames` (at most out's capacity) frames into `out` and sets its
    /// frame length; returns true once the input has ended and every frame is out. A library
    /// error, or a pull that delivers more than it was asked for, throws "Video audio
    /// resampling failed.".
    bool convert(AudioBuffer& out, uint32_t maxFrames, const Pull& pull);

  private:
    struct State;
    std::unique_ptr<State> state_;
};

/// Drives `converter` until the end of its input and writes exactly `expected` frames to
/// `writer` (one missing frame is written as silence). Throws "Video audio resampling
/// stalled." when a round produces nothing before the end, and "Sample-rate conversion
/// changed the video's audio duration." when more than one frame is missing or when the
/// input runs on for more than two blocks past the expected length. `progress`
/// receives done / expected.
void resampleInto(RateConverter& converter, const RateConverter::Pull& pull,
                  AudioFileWriter& writer, int64_t expected,
                  const std::function<void(double)>& progress, std::stop_token cancel);

/// Converts the track file `source` into `destination` at `rate` (same channels, 32-bit
/// float), round(rate x length / source rate) frames long. Progress is
/// (index + 0.6 + 0.4 x done / expected) x 0.8 / trackCount.
void alignTrack(const std::filesystem::path& source, const std::filesystem::path& destination,
                double rate, int index, int trackCount, ProgressLimiter* progress,
                std::stop_token cancel);

}  // namespace corvaline::MediaImport
