#pragma once
// What the live monitor plays, block by block: finished multichannel audio folded into a
// stereo listening mix by mute and solo, scaled by the monitor gain (level match), with the
// meters of the block.
//
// A MonitorStream is used by one thread at a time (the live player's serial queue); it holds
// no lock. It is exhausted when next() returns none and is never rewound.

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "audiocore/model/AudioBuffer.hpp"
#include "audiocore/model/AudioInfo.hpp"
#include "audiocore/model/ProcessingSettings.hpp"

namespace corvaline {

class DSPStream;

/// Meter floor in dBFS; silence and anything below it read this value.
inline constexpr double kMeterFloorDB = -90;

/// max(20 log10(max(peak, 1e-12)), -90).
double meterDB(double peak);

/// One block of monitor audio with its meters.
struct MonitorBlock {
    AudioBuffer audio;             ///< stereo output, frame count of the processed block
    std::vector<double> channels;  ///< peak of each processed channel, dBFS, floor -90
    std::vector<double> output{kMeterFloorDB, kMeterFloorDB};  ///< left/right output peak, dBFS
    double compressorReduction = 0;                            ///< dB after this block
    double limiterReduction = 0;                               ///< dB after this block
    std::vector<double> bleedReduction{0, 0};                  ///< dB per lav after this block
    std::vector<double> levelerGain;                           ///< dB per channel after this block
    bool normalizationSuspended = false;  ///< a live edit suspended the normalisation
};

/// Where a MonitorStream pulls finished multichannel blocks from. The application's streams
/// read a DSPStream (see MonitorPlan::makeStream); a tool or a test may supply its own.
class MonitorSource {
  public:
    virtual ~MonitorSource() = default;
    virtual double sampleRate() const = 0;
    virtual int channelCount() const = 0;
    /// Frames the source delivers in total.
    virtual int64_t length() const = 0;
    /// True once the source has delivered its last frame.
    virtual bool exhausted() const = 0;
    /// Fills `into` (channelCount() channels, capacity >= `capacity`) with the next block of at
    /// most `capacity` frames; false at the end. Errors propagate.
    virtual bool next(AudioBuffer& into, uint32_t capacity) = 0;
    /// Live edit, effective from the next block.
    virtual void update(const ProcessingSettings& settings,
                        const std::vector<ChannelSettings>& channels) = 0;
    /// Writes the chain's meters after the last block into `block` (compressor, limiter, bleed,
    /// leveler, normalisation). The default leaves the block's neutral values.
    virtual void readMeters(MonitorBlock& block) const { (void)block; }
};

/// A MonitorSource over a DSPStream (owned).
std::unique_ptr<MonitorSource> makeDSPSource(std::unique_ptr<DSPStream> dsp);

class MonitorStream {
  public:
    /// Largest block next() hands out.
    static constexpr uint32_t kMaxBlockFrames = 16384;

    /// Output format: non-interleaved 32-bit float stereo at the source's sample rate.
    struct Format {
        double sampleRate = 0;
        int channelCount = 2;
        friend bool operator==(const Format&, const Format&) = default;
    };

    /// Plays `source` with the listening mix of `states` and the linear `gain`.
    MonitorStream(std::unique_ptr<MonitorSource> source, std::vector<ChannelSettings> states,
                  double gain);
    MonitorStream(const MonitorStream&) = delete;
    MonitorStream& operator=(const MonitorStream&) = delete;

    /// Fills `into` with the next block of at most `capacity` frames (clamped to 1...16384);
    /// false at the end (`into` is then left as it was). The block's buffers are reused: once
    /// `into` has held a block of this size and channel count, nothing is allocated. Errors of
    /// the source propagate; the stream is not usable afterwards.
    bool next(MonitorBlock& into, int64_t capacity);

    /// The next block as a new value, or none at the end (allocates the block).
    std::optional<MonitorBlock> next(int64_t capacity);

    /// Live edit: forwards settings and channels to the source, then replaces the mute/solo
    /// states and the gain. Heard from the next block.
    void update(const ProcessingSettings& settings, const std::vector<ChannelSettings>& channels,
                double gain);

    const Format& format() const { return format_; }
    const std::vector<ChannelSettings>& states() const { return states_; }
    double gain() const { return gain_; }
    /// Frames the stream delivers in total.
    int64_t length() const { return source_->length(); }
    /// True once the last block has been delivered.
    bool exhausted() const { return source_->exhausted(); }
    MonitorSource& source() { return *source_; }
    /// The DSPStream behind the stream, or nullptr when the source is not one.
    DSPStream* dsp() const;

  private:
    void refreshMix();

    std::unique_ptr<MonitorSource> source_;
    Format format_;
    std::vector<ChannelSettings> states_;
    double gain_ = 1;
    AudioBuffer work_;          ///< the source's block, allocated once
    std::vector<int> audible_;  ///< audible channel indices for the current states
    bool stereo_ = false;
    std::vector<double> peaks_;
};

}  // namespace corvaline
