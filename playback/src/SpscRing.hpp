#pragma once
// A bounded single-producer single-consumer ring of small values, for the audio thread.
//
// One thread at a time pushes and one thread at a time pops; neither ever waits for the other
// or takes a lock. The storage is allocated at construction. The producer's writes to whatever
// a pushed value refers to happen-before the consumer's reads after popping it (release on
// push, acquire on pop).

#include <atomic>
#include <cstddef>
#include <vector>

namespace corvaline::playback {

template <typename T>
class SpscRing {
  public:
    /// Room for `capacity` values (at least 1).
    explicit SpscRing(size_t capacity) : slots_(capacity > 0 ? capacity + 1 : 2) {}

    /// Producer: appends `value`; false when the ring is full.
    bool push(const T& value) noexcept {
        const size_t tail = tail_.load(std::memory_order_relaxed);
        const size_t next = tail + 1 == slots_.size() ? 0 : tail + 1;
        if (next == head_.load(std::memory_order_acquire)) return false;
        slots_[tail] = value;
        tail_.store(next, std::memory_order_release);
        return true;
    }

    /// Consumer: takes the oldest value into `value`; false when the ring is empty.
    bool pop(T& value) noexcept {
        const size_t head = head_.load(std::memory_order_relaxed);
        if (head == tail_.load(std::memory_order_acquire)) return false;
        value = slots_[head];
        head_.store(head + 1 == slots_.size() ? 0 : head + 1, std::memory_order_release);
        return true;
    }

    /// Consumer: true when nothing is waiting.
    bool empty() const noexcept {
        return head_.load(std::memory_order_relaxed) == tail_.load(std::memory_order_acquire);
    }

  private:
    std::vector<T> slots_;
    alignas(64) std::atomic<size_t> head_{0};  ///< next value to pop (consumer)
    alignas(64) std::atomic<size_t> tail_{0};  ///< next free place (producer)
};

}  // namespace corvaline::playback
