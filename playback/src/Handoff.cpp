#include "Handoff.hpp"

#include <pthread.h>

namespace corvaline::playback {

Handoff::Handoff(size_t capacity, std::function<void(uint32_t)> deliver, const char* threadName)
    : deliver_(std::move(deliver)), ring_(capacity > 0 ? capacity : 1) {
    worker_ = std::thread([this] { run(); });
    pthread_setname_np(worker_.native_handle(), threadName);
}

Handoff::~Handoff() {
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
    }
    wake_.notify_one();
    worker_.join();
}

bool Handoff::post(uint32_t value) noexcept {
    {
        std::lock_guard lock(mutex_);
        if (count_ == ring_.size()) return false;
        ring_[(head_ + count_) % ring_.size()] = value;
        ++count_;
    }
    wake_.notify_one();
    return true;
}

void Handoff::run() {
    std::vector<uint32_t> batch;
    batch.reserve(ring_.size());
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return closing_ || count_ > 0; });
            if (count_ == 0 && closing_) return;
            batch.clear();
            while (count_ > 0) {
                batch.push_back(ring_[head_]);
                head_ = (head_ + 1) % ring_.size();
                --count_;
            }
        }
        for (uint32_t value : batch) {
            try {
                deliver_(value);
            } catch (...) {
                // A handler's failure must not end the delivery of the others.
            }
        }
    }
}

}  // namespace corvaline::playback
