#pragma once
// Signals and files for the finishing tests, generated at test time.

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <numbers>
#include <vector>

#include "audiocore/files/AudioIO.hpp"

namespace corvaline::test {

/// Planar audio: one vector per channel.
using Planes = std::vector<std::vector<float>>;

/// Writes `planes` as a WAV file (32-bit float unless `bits` says otherwise).
inline void writeWave(const std::filesystem::path& url, const Planes& planes, double rate = 48000,
                      int bits = 32) {
    const int channels = int(planes.size());
    const size_t frames = planes.empty() ? 0 : planes[0].size();
    auto writer = AudioIO::writer(url, rate, channels, bits);
    AudioBuffer block(channels, 8192);
    for (size_t at = 0; at < frames; at += 8192) {
        const auto n = uint32_t(std::min<size_t>(8192, frames - at));
        for (int c = 0; c < channels; ++c) {
            std::copy_n(planes[size_t(c)].data() + at, n, block.channel(c));
        }
        block.setFrameLength(n);
        writer->write(block);
    }
    writer->close();
}

/// Every channel of the whole file.
inline Planes readWave(const std::filesystem::path& url) {
    auto reader = AudioIO::open(url);
    Planes planes(size_t(reader->channelCount()));
    AudioBuffer block(reader->channelCount(), 8192);
    while (uint32_t n = reader->read(block, 8192)) {
        for (int c = 0; c < reader->channelCount(); ++c) {
            planes[size_t(c)].insert(planes[size_t(c)].end(), block.channel(c),
                                     block.channel(c) + n);
        }
    }
    return planes;
}

/// `channels` copies of f(frame) over `frames` frames.
inline Planes generate(int channels, size_t frames, const std::function<float(size_t)>& f) {
    std::vector<float> plane(frames);
    for (size_t i = 0; i < frames; ++i)
        plane[i] = f(i);
    return Planes(size_t(channels), plane);
}

/// A sine of `amplitude` (linear peak) at `frequency` Hz and phase `phase` (radians).
inline std::function<float(size_t)> sine(double amplitude, double frequency, double rate = 48000,
                                         double phase = 0) {
    return [=](size_t i) {
        return float(amplitude *
                     std::sin(2 * std::numbers::pi * frequency * double(i) / rate + phase));
    };
}

/// Linear amplitude of a level in dB.
inline double linear(double dB) {
    return std::pow(10.0, dB / 20);
}

/// Deterministic white noise in -1...1.
class Noise {
  public:
    explicit Noise(uint32_t seed = 12345) : state_(seed) {}
    float operator()() {
        state_ = state_ * 1664525u + 1013904223u;
        return float(double(state_) / 2147483648.0 - 1.0);
    }

  private:
    uint32_t state_;
};

}  // namespace corvaline::test
