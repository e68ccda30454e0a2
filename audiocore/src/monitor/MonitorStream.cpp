// The listening mix and the meters of the live monitor.

#include "audiocore/monitor/MonitorStream.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "audiocore/dsp/StreamingDSP.hpp"
#include "audiocore/finishing/DSPStream.hpp"
#include "audiocore/monitor/MonitorLevelMatch.hpp"

namespace corvaline {

double meterDB(double peak) {
    return std::max(20.0 * std::log10(std::max(peak, 1e-12)), kMeterFloorDB);
}

namespace {

class DSPSource final : public MonitorSource {
  public:
    explicit DSPSource(std::unique_ptr<DSPStream> dsp) : dsp_(std::move(dsp)) {
        if (!dsp_) throw std::invalid_argument("MonitorStream: no DSPStream");
    }
    double sampleRate() const override { return dsp_->sampleRate(); }
    int channelCount() const override { return dsp_->channelCount(); }
    int64_t length() const override { return dsp_->length(); }
    bool exhausted() const override { return dsp_->exhausted(); }
    bool next(AudioBuffer& into, uint32_t capacity) override { return dsp_->next(into, capacity); }
    void update(const ProcessingSettings& settings,
                const std::vector<ChannelSettings>& channels) override {
        dsp_->update(settings, channels);
    }
    void readMeters(MonitorBlock& block) const override {
        const StreamingDSP& processor = dsp_->processor();
        block.compressorReduction = processor.compressorReduction();
        block.limiterReduction = processor.limiterReduction();
        const auto& bleed = processor.bleedReduction();
        block.bleedReduction.assign(bleed.begin(), bleed.end());
        block.levelerGain = processor.levelerGain();
        block.normalizationSuspended = dsp_->normalizationSuspended();
    }
    DSPStream* dsp() const { return dsp_.get(); }

  private:
    std::unique_ptr<DSPStream> dsp_;
};

}  // namespace

std::unique_ptr<MonitorSource> makeDSPSource(std::unique_ptr<DSPStream> dsp) {
    return std::make_unique<DSPSource>(std::move(dsp));
}

MonitorStream::MonitorStream(std::unique_ptr<MonitorSource> source,
                             std::vector<ChannelSettings> states, double gain)
    : source_(std::move(source)), states_(std::move(states)), gain_(gain) {
    if (!source_) throw std::invalid_argument("MonitorStream: no source");
    format_.sampleRate = source_->sampleRate();
    const int channels = source_->channelCount();
    work_.allocate(channels, kMaxBlockFrames);
    peaks_.assign(size_t(channels), 0.0);
    refreshMix();
}

DSPStream* MonitorStream::dsp() const {
    const auto* dspSource = dynamic_cast<const DSPSource*>(source_.get());
    return dspSource ? dspSource->dsp() : nullptr;
}

void MonitorStream::refreshMix() {
    audible_ = MonitorLevelMatch::audibleChannels(work_.channelCount(), states_);
    stereo_ = MonitorLevelMatch::isStereoMix(work_.channelCount(), audible_);
}

std::optional<MonitorBlock> MonitorStream::next(int64_t capacity) {
    MonitorBlock block;
    if (!next(block, capacity)) return std::nullopt;
    return block;
}

bool MonitorStream::next(MonitorBlock& block, int64_t capacity) {
    const auto frames = uint32_t(std::clamp<int64_t>(capacity, 1, kMaxBlockFrames));
    if (!source_->next(work_, frames)) return false;
    const uint32_t count = work_.frameLength();
    const int n = work_.channelCount();

    if (block.audio.channelCount() != 2 || block.audio.capacity() < count) {
        block.audio.allocate(2, count);
    }
    block.audio.setFrameLength(count);
    float* left = block.audio.channel(0);
    float* right = block.audio.channel(1);
    const float gain = float(gain_);
    const double share = audible_.empty() ? 0.0 : 1.0 / double(audible_.size());

    std::fill(peaks_.begin(), peaks_.end(), 0.0);
    double leftPeak = 0;
    double rightPeak = 0;
    for (uint32_t i = 0; i < count; ++i) {
        // Every channel meters, audible or not, so a muted channel still shows its level.
        for (int j = 0; j < n; ++j) {
            const double sample = std::fabs(double(work_.channel(j)[i]));
            if (sample > peaks_[size_t(j)]) peaks_[size_t(j)] = sample;
        }
        double l = 0;
        double r = 0;
        if (stereo_) {
            l = work_.channel(0)[i];
            r = work_.channel(1)[i];
        } else if (!audible_.empty()) {
            double sum = 0;
            for (int j : audible_)
                sum += work_.channel(j)[i];
            l = r = sum * share;
        }
        float outL = float(l) * gain;
        float outR = float(r) * gain;
        // Nothing non-finite reaches the output device.
        if (!std::isfinite(outL)) outL = 0;
        if (!std::isfinite(outR)) outR = 0;
        left[i] = outL;
        right[i] = outR;
        leftPeak = std::max(leftPeak, double(std::fabs(outL)));
        rightPeak = std::max(rightPeak, double(std::fabs(outR)));
    }

    block.channels.resize(size_t(n));
    for (int j = 0; j < n; ++j)
        block.channels[size_t(j)] = meterDB(peaks_[size_t(j)]);
    block.output.resize(2);
    block.output[0] = meterDB(leftPeak);
    block.output[1] = meterDB(rightPeak);
    // The neutral meters of a source without a chain, then the chain's own.
    block.compressorReduction = 0;
    block.limiterReduction = 0;
    block.bleedReduction.assign(2, 0.0);
    block.levelerGain.clear();
    block.normalizationSuspended = false;
    source_->readMeters(block);
    return true;
}

void MonitorStream::update(const ProcessingSettings& settings,
                           const std::vector<ChannelSettings>& channels, double gain) {
    source_->update(settings, channels);
    states_ = channels;
    gain_ = gain;
    refreshMix();
}

}  // namespace corvaline
