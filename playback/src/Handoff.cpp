#include "Handoff.hpp"

#include <pthread.h>

namespace corvaline::playback {

Handoff::Handoff(size_t capacity, std::function<void(uint32_t)> deliver, const char* threadName)
    : deliver_(std::move(deliver)), ring_(capacity) {
    worker_ = std::thread([this] { run(); });
    pthread_setname_np(worker_.native_handle(), threadName);
}

Handoff::~Handoff() {
    closing_.store(true, std::memory_order_release);
    signal_.fetch_add(1, std::memory_order_release);
    signal_.notify_one();
    worker_.join();
}

bool Handoff::post(uint32_t value) noexcept {
    if (!ring_.push(value)) return false;
    signal_.fetch_add(1, std::memory_order_release);
    signal_.notify_one();
    return true;
}

void Handoff::run() {
    for (;;) {
        // Read the signal before draining: a post after the drain changes it, so the wait
        // below returns at once instead of missing that value.
        const uint32_t seen = signal_.load(std::memory_order_acquire);
        uint32_t value = 0;
        while (ring_.pop(value)) {
            try {
                deliver_(value);
            } catch (...) {
                // A handler's failure must not end the delivery of the others.
            }
        }
        if (closing_.load(std::memory_order_acquire)) {
            if (ring_.empty()) return;
            continue;
        }
        signal_.wait(seen, std::memory_order_acquire);
    }
}

}  // namespace corvaline::playback
