// The player node: scheduled buffers played back to back from the device callback.

#include <algorithm>
#include <stdexcept>
#include <thread>

#include "Handoff.hpp"
#include "SpscRing.hpp"
#include "playback/AudioEngine.hpp"

namespace corvaline::playback {

PlayerNode::PlayerNode(double sampleRate, int channels)
    : sampleRate_(sampleRate), channels_(channels) {
    if (!(sampleRate > 0) || channels < 1 || channels > kMaxChannels) {
        throw std::invalid_argument("PlayerNode: unsupported format");
    }
    slots_.resize(kMaxScheduled);
    free_.reserve(kMaxScheduled);
    for (size_t i = kMaxScheduled; i-- > 0;)
        free_.push_back(uint32_t(i));
    scheduled_ = std::make_unique<SpscRing<uint32_t>>(kMaxScheduled);
    awaiting_.assign(kMaxScheduled, 0);
    completions_ = std::make_unique<Handoff>(
        kMaxScheduled, [this](uint32_t value) { complete(value); }, "corvaline-play");
}

PlayerNode::~PlayerNode() {
    // Joins the completion thread (delivering what is due) while the slots still exist.
    completions_.reset();
}

void PlayerNode::schedule(std::shared_ptr<const AudioBuffer> buffer, CompletionType type,
                          Completion completion) {
    if (!buffer || buffer->channelCount() != channels_) {
        throw std::invalid_argument("PlayerNode: buffer does not match the player's format");
    }
    std::lock_guard lock(producers_);
    if (free_.empty()) throw std::length_error("PlayerNode: too many scheduled buffers");
    const uint32_t slot = free_.back();
    free_.pop_back();
    slots_[slot] = Entry{std::move(buffer), type, std::move(completion)};
    // Every slot is in at most one place, so the ring (sized for all of them) has room.
    scheduled_->push(slot);
}

void PlayerNode::play() {
    playing_.store(true, std::memory_order_release);
}

void PlayerNode::stop() {
    playing_.store(false, std::memory_order_release);
    // Exclude the renderer (it holds the flag for at most one callback and never waits for
    // it), then hand every pending slot to the completion thread to be released unheard.
    while (rendering_.exchange(true, std::memory_order_acquire))
        std::this_thread::yield();
    if (current_ != kNoSlot) completions_->post(current_ | kDiscarded);
    current_ = kNoSlot;
    uint32_t slot = 0;
    while (scheduled_->pop(slot))
        completions_->post(slot | kDiscarded);
    for (size_t k = 0; k < awaitingCount_; ++k)
        completions_->post(awaiting_[k] | kDiscarded);
    awaitingCount_ = 0;
    offset_ = 0;
    starving_ = 0;
    rendered_.store(false, std::memory_order_relaxed);
    sampleTime_.store(0, std::memory_order_relaxed);
    rendering_.store(false, std::memory_order_release);
}

bool PlayerNode::isPlaying() const {
    return playing_.load(std::memory_order_acquire);
}

std::optional<PlayerTime> PlayerNode::playerTime() const {
    if (!playing_.load(std::memory_order_acquire) || !rendered_.load(std::memory_order_acquire)) {
        return std::nullopt;
    }
    return PlayerTime{sampleTime_.load(std::memory_order_relaxed), sampleRate_};
}

int64_t PlayerNode::underrunFrames() const {
    return underruns_.load(std::memory_order_relaxed);
}

void PlayerNode::complete(uint32_t value) {
    const uint32_t slot = value & ~kDiscarded;
    // The entry (buffer and handler) is released here, on the completion thread.
    Entry entry = std::move(slots_[slot]);
    slots_[slot] = Entry{};
    {
        std::lock_guard lock(producers_);
        free_.push_back(slot);
    }
    if (!(value & kDiscarded) && entry.completion) entry.completion();
}

void PlayerNode::render(float* out, uint32_t frames, int outputChannels) noexcept {
    const size_t outCh = size_t(std::max(outputChannels, 1));
    uint32_t written = 0;
    // stop() is discarding the queue right now: this period is silence.
    if (rendering_.exchange(true, std::memory_order_acquire)) {
        std::fill(out, out + size_t(frames) * outCh, 0.0f);
        return;
    }
    // Buffers that ended in the previous render have now been handed to the device.
    for (size_t k = 0; k < awaitingCount_; ++k)
        completions_->post(awaiting_[k]);
    awaitingCount_ = 0;

    if (playing_.load(std::memory_order_acquire)) {
        rendered_.store(true, std::memory_order_release);
        int64_t time = sampleTime_.load(std::memory_order_relaxed);
        while (written < frames) {
            if (current_ == kNoSlot) {
                if (!scheduled_->pop(current_)) {
                    current_ = kNoSlot;
                    break;
                }
                offset_ = 0;
            }
            const Entry& entry = slots_[current_];
            const AudioBuffer& buffer = *entry.buffer;
            const uint32_t available =
                buffer.frameLength() > offset_ ? buffer.frameLength() - offset_ : 0;
            const uint32_t n = std::min(frames - written, available);
            if (n > 0) {
                // Silence between two scheduled frames is starvation; silence after the last
                // one is just the end of the programme.
                if (starving_ > 0 && time > 0) {
                    underruns_.fetch_add(starving_, std::memory_order_relaxed);
                }
                starving_ = 0;
                for (size_t c = 0; c < outCh; ++c) {
                    float* target = out + size_t(written) * outCh + c;
                    if (channels_ == 1 || int(c) < channels_) {
                        const float* source = buffer.channel(channels_ == 1 ? 0 : int(c)) + offset_;
                        for (uint32_t i = 0; i < n; ++i)
                            target[i * outCh] = source[i];
                    } else {
                        for (uint32_t i = 0; i < n; ++i)
                            target[i * outCh] = 0.0f;
                    }
                }
                written += n;
                offset_ += n;
                time += n;
            }
            if (offset_ >= buffer.frameLength()) {
                if (entry.type == CompletionType::dataConsumed) {
                    completions_->post(current_);
                } else {
                    awaiting_[awaitingCount_++] = current_;
                }
                current_ = kNoSlot;
                offset_ = 0;
            }
        }
        sampleTime_.store(time, std::memory_order_relaxed);
        starving_ += frames - written;
    }
    std::fill(out + size_t(written) * outCh, out + size_t(frames) * outCh, 0.0f);
    rendering_.store(false, std::memory_order_release);
}

}  // namespace corvaline::playback
