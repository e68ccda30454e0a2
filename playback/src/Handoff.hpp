#pragma once
// Hands small integers from the audio callback to a worker thread that acts on them.
//
// post() is what the callback calls: it takes a mutex for a few instructions to push into a
// ring allocated up front, then signals a condition variable. It never allocates and never
// throws. The worker drains the ring in order and calls `deliver` for each value outside the
// lock, so whatever `deliver` does (completion handlers, observers, freeing memory) happens
// off the audio thread.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace corvaline::playback {

class Handoff {
  public:
    Handoff(size_t capacity, std::function<void(uint32_t)> deliver, const char* threadName);
    /// Stops the worker; values still in the ring are delivered first.
    ~Handoff();
    Handoff(const Handoff&) = delete;
    Handoff& operator=(const Handoff&) = delete;

    /// Queues `value`; false (value dropped) when the ring is full.
    bool post(uint32_t value) noexcept;

  private:
    void run();

    std::function<void(uint32_t)> deliver_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<uint32_t> ring_;
    size_t head_ = 0;
    size_t count_ = 0;
    bool closing_ = false;
    std::thread worker_;
};

}  // namespace corvaline::playback
