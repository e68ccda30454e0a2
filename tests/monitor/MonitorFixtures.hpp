#pragma once
// Signals and files shared by the monitor tests.

#include <cmath>
#include <filesystem>
#include <functional>
#include <memory>
#include <numbers>
#include <vector>

#include "audiocore/files/AudioIO.hpp"
#include "audiocore/model/AudioBuffer.hpp"
#include "audiocore/monitor/MonitorStream.hpp"

namespace corvaline::test {

/// A buffer of `channels` x `frames` filled by `sample(channel, frame)`.
inline AudioBuffer makeSignal(int channels, uint32_t frames,
                              const std::function<float(int, uint32_t)>& sample) {
    AudioBuffer buffer(channels, frames);
    buffer.setFrameLength(frames);
    for (int c = 0; c < channels; ++c) {
        for (uint32_t i = 0; i < frames; ++i)
            buffer.channel(c)[i] = sample(c, i);
    }
    return buffer;
}

/// Writes `buffer` as a 32-bit float WAV.
inline void writeWav(const std::filesystem::path& url, const AudioBuffer& buffer,
                     double rate = 48000) {
    auto writer = AudioIO::writer(url, rate, buffer.channelCount(), 32);
    writer->write(buffer);
    writer->close();
}

inline float sine(double amplitude, double frequency, uint32_t frame, double rate = 48000) {
    return float(amplitude * std::sin(2 * std::numbers::pi * frequency * frame / rate));
}

/// A source that hands out a prepared buffer block by block, with neutral meters.
class BufferSource final : public MonitorSource {
  public:
    explicit BufferSource(AudioBuffer audio, double rate = 48000)
        : audio_(std::move(audio)), rate_(rate) {}
    double sampleRate() const override { return rate_; }
    int channelCount() const override { return audio_.channelCount(); }
    int64_t length() const override { return audio_.frameLength(); }
    bool exhausted() const override { return position_ >= audio_.frameLength(); }
    bool next(AudioBuffer& into, uint32_t capacity) override {
        const uint32_t n = std::min(capacity, audio_.frameLength() - position_);
        if (n == 0) {
            into.setFrameLength(0);
            return false;
        }
        for (int c = 0; c < audio_.channelCount(); ++c) {
            std::copy_n(audio_.channel(c) + position_, n, into.channel(c));
        }
        into.setFrameLength(n);
        position_ += n;
        return true;
    }
    void update(const ProcessingSettings&, const std::vector<ChannelSettings>&) override {
        ++updates;
    }
    int updates = 0;

  private:
    AudioBuffer audio_;
    double rate_;
    uint32_t position_ = 0;
};

}  // namespace corvaline::test
