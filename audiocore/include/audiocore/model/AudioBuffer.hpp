#pragma once
// The engine's audio block: non-interleaved 32-bit float, one contiguous plane per channel,
// with a fixed capacity and a current frame length. Allocated once by its owner; the
// per-block loops of readers, processors and streams only change the frame length.

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace corvaline {

class AudioBuffer {
  public:
    AudioBuffer() = default;
    /// `channels` planes of `capacity` frames, zeroed, frame length 0.
    AudioBuffer(int channels, uint32_t capacity) { allocate(channels, capacity); }

    AudioBuffer(const AudioBuffer& other) { *this = other; }
    AudioBuffer& operator=(const AudioBuffer& other) {
        if (this != &other) {
            storage_ = other.storage_;
            channels_ = other.channels_;
            capacity_ = other.capacity_;
            frameLength_ = other.frameLength_;
            rebuildPointers();
        }
        return *this;
    }
    AudioBuffer(AudioBuffer&&) noexcept = default;
    AudioBuffer& operator=(AudioBuffer&&) noexcept = default;

    /// Re-allocates (not for per-block use). Contents are zeroed, frame length 0.
    void allocate(int channels, uint32_t capacity) {
        if (channels < 0) throw std::invalid_argument("AudioBuffer: negative channel count");
        channels_ = channels;
        capacity_ = capacity;
        frameLength_ = 0;
        storage_.assign(size_t(channels) * capacity, 0.0f);
        rebuildPointers();
    }

    int channelCount() const { return channels_; }
    uint32_t capacity() const { return capacity_; }
    uint32_t frameLength() const { return frameLength_; }

    /// Sets the number of valid frames; throws std::out_of_range beyond the capacity.
    void setFrameLength(uint32_t frames) {
        if (frames > capacity_) throw std::out_of_range("AudioBuffer: frame length above capacity");
        frameLength_ = frames;
    }

    float* channel(int c) { return pointers_[size_t(c)]; }
    const float* channel(int c) const { return pointers_[size_t(c)]; }
    /// Array of channelCount() plane pointers.
    float* const* planes() { return pointers_.data(); }
    const float* const* planes() const { return const_cast<const float* const*>(pointers_.data()); }

    /// Zeroes every plane over the whole capacity (frame length unchanged).
    void zero() { std::fill(storage_.begin(), storage_.end(), 0.0f); }

  private:
    void rebuildPointers() {
        pointers_.resize(size_t(channels_));
        for (int c = 0; c < channels_; ++c) {
            pointers_[size_t(c)] = storage_.data() + size_t(c) * capacity_;
        }
    }

    std::vector<float> storage_;
    std::vector<float*> pointers_;
    int channels_ = 0;
    uint32_t capacity_ = 0;
    uint32_t frameLength_ = 0;
};

/// The largest channel count the engine accepts anywhere.
inline constexpr int kMaxChannels = 128;

}  // namespace corvaline
