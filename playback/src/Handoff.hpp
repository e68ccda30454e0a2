#pragma once
// Hands small integers from the audio callback to a worker thread that acts on them.
//
// post() is what the callback calls: a push into a single-producer single-consumer ring
// allocated up front and a futex wake of the worker. It takes no lock, never allocates, never
// throws and never waits. One thread at a time may post (the audio callback, or a thread that
// has excluded it). The worker drains the ring in order and calls `deliver` for each value, so
// whatever `deliver` does (completion handlers, observers, freeing memory) happens off the
// audio thread.

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>

#include "SpscRing.hpp"

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
    SpscRing<uint32_t> ring_;
    std::atomic<uint32_t> signal_{0};  ///< bumped after every post; the worker waits on it
    std::atomic<bool> closing_{false};
    std::thread worker_;
};

}  // namespace corvaline::playback
