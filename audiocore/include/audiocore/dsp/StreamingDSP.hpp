#pragma once
// The finishing chain: a block processor that runs, in place and frame by frame, the dialogue
// leveler, the lav bleed gains, the parametric EQ, the compressor, the output gain and a 5 ms
// lookahead limiter with optional 4x true-peak detection.
//
// Only selected channels (ChannelSettings::process) are leveled, equalised, compressed,
// gained and limited; every channel passes through the lookahead delay so that all stay
// time-aligned. The output is delayed by exactly latency() frames; the first latency()
// frames after construction are silence.
//
// Settings change between blocks through update() without clicks: EQ coefficients and the
// compression gain glide over 10 ms, the output gain and the compressor amount follow a
// 10 ms one-pole. All state is allocated at construction; process() and update() allocate
// nothing (room is kept for up to 16 EQ bands and a 64-character model name in the settings
// copies). No locks: update() and process() must not overlap; the meters may be read between
// blocks.
//
// The limiter holds each reduction for the lookahead plus the true-peak interpolator's delay,
// and its release never rises above a smaller request still waiting in the lookahead, so
// every frame leaves at or under its own request.

#include <array>
#include <memory>
#include <span>
#include <vector>

#include "audiocore/dsp/Biquad.hpp"
#include "audiocore/dsp/BlockTruePeak.hpp"
#include "audiocore/dsp/DialogueLeveler.hpp"
#include "audiocore/dsp/LavBleedSuppressor.hpp"
#include "audiocore/dsp/Smoothing.hpp"
#include "audiocore/model/AudioBuffer.hpp"
#include "audiocore/model/AudioInfo.hpp"
#include "audiocore/model/ProcessingSettings.hpp"

namespace corvaline {

class StreamingDSP {
  public:
    /// `channels` sets the channel count (its length) and the processing flags.
    /// The output gain is taken unclamped here (an update clamps it to −60…+24 dB).
    StreamingDSP(double rate, const std::vector<ChannelSettings>& channels,
                 const ProcessingSettings& settings);
    ~StreamingDSP();
    StreamingDSP(const StreamingDSP&) = delete;
    StreamingDSP& operator=(const StreamingDSP&) = delete;

    /// Applies new settings and channel flags between blocks. When the dspOnly() forms are
    /// equal and the flags are unchanged nothing happens, so restoration-only edits never
    /// disturb the chain. A flag missing from `channels` counts as selected.
    void update(const ProcessingSettings& settings, const std::vector<ChannelSettings>& channels);

    /// Processes the block's frameLength() frames in place. The block should hold count()
    /// channels: missing channels are processed as silence and not written, extra channels are
    /// left untouched. `sidechain` (optional, same layout, at least count() channels — missing
    /// ones read as the block's own input) carries the lav-bleed detector signal; frames beyond
    /// its frame length use the block's own input. A block of 0 frames does nothing.
    void process(AudioBuffer& block, const AudioBuffer* sidechain = nullptr);

    /// The compressor's static gain reduction in dB (≥ 0) for a detector level in dB.
    static double reduction(double inputDB, double threshold, double ratio, double knee);

    /// Lookahead in frames: max(1, ⌊rate × 0.005⌋).
    int latency() const { return latency_; }
    double rate() const { return rate_; }
    int count() const { return count_; }
    const ProcessingSettings& settings() const { return settings_; }
    std::span<const bool> selected() const { return {selected_.get(), size_t(count_)}; }

    /// Meters of the last processed frame.
    double compressorReduction() const { return compressorReduction_; }  ///< dB, ≥ 0
    double limiterReduction() const { return limiterReduction_; }        ///< dB, ≥ 0
    /// Lav bleed attenuation for bleedChannelA and bleedChannelB, dB (≥ 0).
    const std::array<double, 2>& bleedReduction() const { return bleed_.reduction(); }
    /// Dialogue leveler gain per channel, dB.
    const std::vector<double>& levelerGain() const { return leveler_.gainDB(); }

    /// Frames left before the limiter may release (the lookahead plus the interpolator delay
    /// after each new gain reduction).
    int limiterHold() const { return hold_; }
    /// Current limiter gain (linear, ≤ 1).
    double limiterGain() const { return limitGain_; }
    /// Smoothed output gain (linear) and the gain it moves toward.
    double outputGain() const { return gain_; }
    double targetOutputGain() const { return targetGain_; }
    /// Whether the true-peak detector is in place (always, since it is allocated with the chain).
    bool hasPeakDetector() const { return true; }
    /// The running EQ sections of channel c (with state).
    std::span<const Biquad> filters(int c) const {
        return {filters_.data() + size_t(c) * bandCount_, bandCount_};
    }
    /// The sections designed from the current settings.
    std::span<const Biquad> targets() const { return {targets_.data(), bandCount_}; }

    /// Frames staged at a time. process() runs in passes over this many frames: input, lav
    /// bleed and leveler; then the EQ with its glide; then compressor and output gain; then the
    /// limiter's true-peak detector for all the staged frames at once; then the limiter. No pass
    /// reads state that a later one writes, so every frame sees exactly the operations of a
    /// frame-by-frame run; the passes' dependency chains just stop queueing behind each other.
    /// Sections that pass their input through unchanged (identity coefficients, b = a, with
    /// zero state: a 0 dB bell or shelf, a disabled band) are skipped outside glides: they
    /// return each sample as it came (only the sign of a zero could differ).
    static constexpr int kStageFrames = 64;

  private:
    /// What the frame loop needs from the settings, derived once per settings change.
    struct Parameters {
        double attack = 0;          ///< compressor attack coefficient
        double release = 0;         ///< compressor release coefficient
        double limiterRelease = 0;  ///< limiter release coefficient
        double ceiling = 1;         ///< T: the ceiling, linear (the safety clip)
        double truePeakTarget = 1;  ///< Ttp: 0.15 dB under the ceiling
        double threshold = -18;
        double ratio = 3;
        double knee = 0;
        double slope = 0;  ///< 1 − 1/ratio: the reduction per dB over the threshold
        double makeup = 0;
        double quietEnvelope = 0;  ///< envelope at or below which the compressor does nothing
        double compTarget = 0;     ///< 1 when the compressor is on
        bool limiterOn = false;
        bool truePeakOn = false;
        int lavA = 0;
        int lavB = 1;
    };
    /// Where a block's channels come from.
    struct BlockIO {
        AudioBuffer& block;
        const AudioBuffer* sidechain;
        int readable;      ///< channels present in both the block and the chain
        int sideChannels;  ///< sidechain channels used (0 without one)
        long sideFrames;   ///< sidechain frames available
    };

    void derive();
    void designTargets();
    // The stages of process(), each over `staged` frames starting at block frame `base`.
    void inputStage(const BlockIO& io, long base, long staged);
    void equaliserStage(long staged);
    void dynamicsStage(const BlockIO& io, long base, long staged);
    /// Output gain, compressor envelope, static law and compression gain of the staged frames:
    /// leaves each frame's whole gain (compression, makeup and output gain) in stageGain_.
    void compressStage(long staged);
    /// reduction() with the current parameters.
    double lawReduction(double inputDB) const;
    /// The limiter's gain request for a frame whose largest selected sample is `g` and whose
    /// true-peak detector reads `P`.
    double limiterRequest(double g, double P) const;
    /// Runs the staged frames' selected channels through the true-peak detector into
    /// stageTruePeak_.
    void detectStage(long staged);
    /// The EQ sections of the staged frames outside a glide: only those that change the signal.
    void filterActive(long staged);
    double filterSelected(Biquad* sections, size_t stride, double* values) const;
    /// Calls pair(first, second) for the selected channels two at a time, in order, and
    /// alone(c) for an odd one left over.
    template <typename Pair, typename Alone>
    void inPairs(Pair&& pair, Alone&& alone) const {
        int waiting = -1;
        for (int c = 0; c < count_; ++c) {
            if (!selected_[size_t(c)]) continue;
            if (waiting < 0) {
                waiting = c;
                continue;
            }
            pair(waiting, c);
            waiting = -1;
        }
        if (waiting >= 0) alone(waiting);
    }
    /// The active sections of two selected channels over the staged frames, side by side.
    void filterLanes(int first, int second, long staged);

    int latency_;
    double rate_;
    int count_;
    ProcessingSettings settings_;
    ProcessingSettings scratch_;  ///< update()'s comparison copy, kept to avoid allocating
    std::unique_ptr<bool[]> selected_;
    size_t bandCount_ = 0;
    std::vector<Biquad> filters_;  ///< count × bandCount, channel-major
    std::vector<Biquad> targets_;
    Parameters parameters_;
    Glide glide_;               ///< the 10 ms glide of EQ coefficients and compression gain
    OnePole smoothing_;         ///< the 10 ms one-pole of the output gain and compressor amount
    std::vector<double> ring_;  ///< count × latency, channel-major
    int position_ = 0;
    std::vector<double> values_;  ///< staged frames: kStageFrames × count, frame-major
    std::array<double, kStageFrames> stageStep_{};         ///< glide step of each staged frame
    std::array<double, kStageFrames> stagePeak_{};         ///< detector peak of each staged frame
    std::array<double, 2 * kStageFrames> stageBleedDB_{};  ///< bleed gains (A, B) in dB per frame
    std::array<double, 2 * kStageFrames> stageBleed_{};    ///< … and linear
    std::array<double, kStageFrames> stageGain_{};         ///< output gain, then the whole gain
    std::array<double, kStageFrames> stageWet_{};          ///< compressor amount
    std::array<double, kStageFrames> stageLevel_{};        ///< envelope, its log, then the gains
    std::array<double, kStageFrames> stageDB_{};           ///< compression and makeup in dB
    std::array<bool, kStageFrames> stageQuiet_{};          ///< envelope under the knee's foot
    /// The lav-bleed detector's samples of the staged frames: lav A's, then lav B's.
    std::array<double, 2 * kStageFrames> stageDetector_{};
    double envelope_ = 0;
    double limitGain_ = 1;
    int hold_ = 0;
    double gain_ = 1;
    double targetGain_ = 1;
    double compWet_ = 0;
    double compressionGain_ = 1;
    DialogueLeveler leveler_;
    LavBleedSuppressor bleed_;
    BlockTruePeak peakDetector_;
    std::vector<float> peakSamples_;                    ///< one channel's staged frames
    std::array<double, kStageFrames> stageTruePeak_{};  ///< detector reading of each frame
    std::array<double, kStageFrames> stageLargest_{};   ///< largest selected |sample| per frame
    std::array<double, kStageFrames> stageLimit_{};     ///< the limiter gain of each frame
    std::vector<Biquad> active_;                        ///< an odd channel's active sections
    std::vector<BiquadPair> lanes_;  ///< active sections of two channels, one in each lane

  public:
    /// Two consecutive active sections of two channels: lanes (first, second) of the earlier
    /// section, then of the later one. Used by the AVX2 wavefront.
    struct alignas(32) UnitSection {
        typedef double Quad __attribute__((vector_size(32)));
        Quad b0, b1, b2, a1, a2, z1, z2;
    };
    /// The most section pairs the wavefront runs (16 sections); more fall back to pairs.
    static constexpr size_t kMaxUnits = 8;

    /// Four consecutive active sections of two channels: lanes 2j, 2j + 1 hold section j of
    /// the first and the second channel. Used by the AVX-512 wavefront.
    struct alignas(64) WideSection {
        typedef double Eight __attribute__((vector_size(64)));
        Eight b0, b1, b2, a1, a2, z1, z2;
    };
    /// The most four-section units the AVX-512 wavefront runs (16 sections).
    static constexpr size_t kMaxWideUnits = 4;

  private:
    std::vector<UnitSection> units_;
    std::vector<WideSection> wide_;
    std::vector<size_t> activeBands_;
    double compressorReduction_ = 0;
    double limiterReduction_ = 0;
    // Sliding minimum of the limiter requests (a ring of at least latency + 14 entries, its
    // capacity a power of two).
    std::vector<double> minValue_;
    std::vector<long> minFrame_;
    size_t minHead_ = 0;
    size_t minCount_ = 0;
    long frameIndex_ = 0;
};

}  // namespace corvaline
