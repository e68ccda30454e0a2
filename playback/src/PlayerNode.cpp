// The player node: scheduled buffers played back to back from the device callback.

#include <algorithm>
#include <stdexcept>

#include "Handoff.hpp"
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
    scheduled_.assign(kMaxScheduled, 0);
    awaiting_.assign(kMaxScheduled, 0);
    completions_ = std::make_unique<Handoff>(
        kMaxScheduled, [this](uint32_t slot) { complete(slot); }, "corvaline-play");
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
    std::lock_guard lock(mutex_);
    if (free_.empty()) throw std::length_error("PlayerNode: too many scheduled buffers");
    const uint32_t slot = free_.back();
    free_.pop_back();
    slots_[slot] = Entry{std::move(buffer), type, std::move(completion)};
    scheduled_[(scheduledHead_ + scheduledCount_) % scheduled_.size()] = slot;
    ++scheduledCount_;
}

void PlayerNode::play() {
    std::lock_guard lock(mutex_);
    playing_ = true;
}

void PlayerNode::stop() {
    // The discarded entries are destroyed after the lock is released, so the audio thread
    // never waits for their memory to be freed.
    std::vector<Entry> discarded;
    discarded.reserve(kMaxScheduled);
    {
        std::lock_guard lock(mutex_);
        playing_ = false;
        rendered_ = false;
        sampleTime_ = 0;
        starving_ = 0;
        offset_ = 0;
        auto release = [&](uint32_t slot) {
            discarded.push_back(std::move(slots_[slot]));
            slots_[slot] = Entry{};
            free_.push_back(slot);
        };
        for (; scheduledCount_ > 0; --scheduledCount_) {
            release(scheduled_[scheduledHead_]);
            scheduledHead_ = (scheduledHead_ + 1) % scheduled_.size();
        }
        for (size_t k = 0; k < awaitingCount_; ++k)
            release(awaiting_[k]);
        awaitingCount_ = 0;
    }
}

bool PlayerNode::isPlaying() const {
    std::lock_guard lock(mutex_);
    return playing_;
}

std::optional<PlayerTime> PlayerNode::playerTime() const {
    std::lock_guard lock(mutex_);
    if (!playing_ || !rendered_) return std::nullopt;
    return PlayerTime{sampleTime_, sampleRate_};
}

int64_t PlayerNode::underrunFrames() const {
    std::lock_guard lock(mutex_);
    return underruns_;
}

void PlayerNode::complete(uint32_t slot) {
    Entry entry;
    {
        std::lock_guard lock(mutex_);
        entry = std::move(slots_[slot]);
        slots_[slot] = Entry{};
        free_.push_back(slot);
    }
    if (entry.completion) entry.completion();
}

void PlayerNode::render(float* out, uint32_t frames, int outputChannels) noexcept {
    const size_t outCh = size_t(std::max(outputChannels, 1));
    std::lock_guard lock(mutex_);
    // Buffers that ended in the previous render have now been handed to the device.
    for (size_t k = 0; k < awaitingCount_; ++k)
        completions_->post(awaiting_[k]);
    awaitingCount_ = 0;

    uint32_t written = 0;
    if (playing_) {
        rendered_ = true;
        while (written < frames && scheduledCount_ > 0) {
            const uint32_t slot = scheduled_[scheduledHead_];
            const Entry& entry = slots_[slot];
            const AudioBuffer& buffer = *entry.buffer;
            const uint32_t available =
                buffer.frameLength() > offset_ ? buffer.frameLength() - offset_ : 0;
            const uint32_t n = std::min(frames - written, available);
            if (n > 0) {
                // Silence between two scheduled frames is starvation; silence after the last
                // one is just the end of the programme.
                if (starving_ > 0 && sampleTime_ > 0) underruns_ += starving_;
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
                sampleTime_ += n;
            }
            if (offset_ >= buffer.frameLength()) {
                scheduledHead_ = (scheduledHead_ + 1) % scheduled_.size();
                --scheduledCount_;
                offset_ = 0;
                if (entry.type == CompletionType::dataConsumed) {
                    completions_->post(slot);
                } else {
                    awaiting_[awaitingCount_++] = slot;
                }
            }
        }
        starving_ += frames - written;
    }
    std::fill(out + size_t(written) * outCh, out + size_t(frames) * outCh, 0.0f);
}

}  // namespace corvaline::playback
