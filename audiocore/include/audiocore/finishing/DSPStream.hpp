#pragma once
// DSPStream: a frame range of an audio file turned into a stream of finished blocks.
//
// The stream reads the input range, optionally blends in the original recording (Original
// Mix), optionally reads a time-aligned detector sidechain for lav bleed detection, runs every
// block through a StreamingDSP, drops the processor's lookahead latency (and feeds that many
// zeros after the input ends) so that output frame f lines up with input frame f, and applies
// a ramped loudness-normalisation gain to the processed channels. Exactly length() frames are
// delivered in total.
//
// The same stream serves the offline render, the loudness measurement of the processed
// programme and live monitoring. A stream is used by one task at a time: next() and update()
// must not overlap. Nothing is locked.
//
// All working blocks (16384 frames) are allocated at construction; the next(AudioBuffer&)
// form allocates nothing.

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stop_token>
#include <vector>

#include "audiocore/dsp/Smoothing.hpp"
#include "audiocore/finishing/FinishingInput.hpp"
#include "audiocore/finishing/LoudnessReport.hpp"
#include "audiocore/finishing/OriginalAudioReference.hpp"
#include "audiocore/model/AudioBuffer.hpp"
#include "audiocore/model/AudioFrameRange.hpp"
#include "audiocore/model/AudioInfo.hpp"
#include "audiocore/model/ProcessingSettings.hpp"

namespace corvaline {

class AudioFileReader;
class StreamingDSP;

class DSPStream {
  public:
    /// Largest block the stream hands out, and the size of its working blocks.
    static constexpr uint32_t kMaxBlockFrames = 16384;

    /// Processing format of the input: 32-bit float, non-interleaved.
    struct Format {
        double sampleRate = 0;
        int channelCount = 0;
        friend bool operator==(const Format&, const Format&) = default;
    };

    /// Opens `input.source` over `input.range` (none = the whole file).
    ///
    /// `input.channels` holds the per-channel flags (a channel beyond the list is processed);
    /// `input.original` carries the Original Mix source, `input.sidechain` the lav detection
    /// source (when only an original is given, lav detection listens to it).
    ///
    /// The stream measures nothing itself: with normalisation on, the caller plans it first
    /// (LoudnessNormalization::plan over the same input) and passes the plan; its gain is
    /// applied to the processed channels. Without a plan no normalisation gain is applied.
    ///
    /// Throws AudioFailure:
    ///   "Invalid playback range." (negative start, end beyond the file, empty range),
    ///   "Original mix must be between 0 and 100 percent.",
    ///   "Original mix requires matching source timelines and channels.",
    ///   "Lav detection requires matching source timelines and channels.";
    /// open errors of the input, original and sidechain propagate unchanged.
    DSPStream(const FinishingInput& input, std::optional<NormalizationPlan> normalization);

    /// The same input given field by field, with the normalisation gain in dB (applied when
    /// normalisation is on; none applies no gain).
    DSPStream(const std::filesystem::path& source, std::optional<AudioFrameRange> range,
              const ProcessingSettings& settings, const std::vector<ChannelSettings>& channels,
              std::optional<OriginalAudioReference> original = std::nullopt,
              std::optional<OriginalAudioReference> sidechain = std::nullopt,
              std::optional<double> normalizationGainDB = std::nullopt);
    ~DSPStream();
    DSPStream(const DSPStream&) = delete;
    DSPStream& operator=(const DSPStream&) = delete;

    /// The next block of up to `capacity` frames (clamped to 1...16384), or none when the
    /// stream is exhausted. A block is shorter than asked only at the end of the range.
    /// Throws "Invalid audio in the original/cleaned mix." for a non-finite input or original
    /// sample while mixing; read errors propagate; Cancelled is checked once per pass.
    std::optional<AudioBuffer> next(int64_t capacity, std::stop_token cancel = {});

    /// Same as next(capacity) but fills `into`, which must have channelCount() channels and a
    /// capacity of at least the clamped `capacity` (else std::invalid_argument). Returns
    /// false, with frame length 0, when the stream is exhausted. Allocates nothing.
    bool next(AudioBuffer& into, int64_t capacity, std::stop_token cancel = {});

    /// Applies live edits between blocks. Any change of settings or process flags suspends
    /// normalisation: the gain fades to unity over 10 ms and stays there for the life of the
    /// stream. A changed Original Mix glides over 10 ms (only while an original is open).
    void update(const ProcessingSettings& settings, const std::vector<ChannelSettings>& channels);

    /// A fixed gain in dB applied to the processed channels after the chain and the
    /// normalisation (the export's safety trim, never ramped). Set it before the first block.
    void setTrim(double gainDB) { trim_ = std::pow(10.0, gainDB / 20); }

    const Format& format() const { return format_; }
    double sampleRate() const { return format_.sampleRate; }
    int channelCount() const { return format_.channelCount; }
    /// Frames in the range (end - start); the total the stream delivers.
    int64_t length() const { return length_; }
    /// Frames still to be delivered.
    int64_t remaining() const { return remainingOutput_; }
    /// True once every frame has been delivered.
    bool exhausted() const { return remainingOutput_ == 0; }
    /// The finishing chain (its meters may be read between blocks).
    const StreamingDSP& processor() const { return *processor_; }
    /// The normalisation plan the stream was given.
    const std::optional<NormalizationPlan>& normalizationPlan() const { return plan_; }
    /// True once a live edit has invalidated the normalisation analysis.
    bool normalizationSuspended() const { return normalizationSuspended_; }
    /// The settings in force.
    const ProcessingSettings& parameters() const { return parameters_; }

  private:
    void open(const FinishingInput& input, std::optional<double> normalizationGainDB);
    void mixOriginal(uint32_t frames);
    uint32_t fill(float* const* out, uint32_t capacity, const std::stop_token& cancel);

    Format format_;
    int64_t length_ = 0;
    std::unique_ptr<StreamingDSP> processor_;
    std::unique_ptr<AudioFileReader> input_;
    int64_t end_ = 0;
    AudioBuffer read_;
    AudioBuffer scratch_;
    int64_t remainingInput_ = 0;
    int64_t remainingOutput_ = 0;
    int64_t discard_ = 0;
    std::unique_ptr<AudioFileReader> original_;
    std::optional<AudioBuffer> dryBuffer_;
    std::vector<bool> selected_;
    float mix_ = 0;
    float targetMix_ = 0;
    Glide mixGlide_;
    std::unique_ptr<AudioFileReader> bleedInput_;
    std::optional<AudioBuffer> bleedBuffer_;
    double normalizationGain_ = 1;
    double normalizationTarget_ = 1;
    double trim_ = 1;
    Glide normalizationGlide_;
    std::optional<NormalizationPlan> plan_;
    bool normalizationSuspended_ = false;
    ProcessingSettings parameters_;
};

}  // namespace corvaline
