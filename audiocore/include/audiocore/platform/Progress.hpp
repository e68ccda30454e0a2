#pragma once
// Progress reporting shared by every long engine operation.
//
// Callbacks receive a fraction 0...1. Reports are rate-limited to about ten a second so that a
// fast loop never floods the caller's thread, and never move backwards within one operation.

#include <chrono>
#include <functional>

namespace corvaline {

/// Receives a completed fraction in [0, 1]. May be empty (no reporting).
using ProgressCallback = std::function<void(double)>;

/// Rate limiter for a progress callback: forwards at most one report per `interval`,
/// clamps to [0, 1] and drops values below the last forwarded one.
class ProgressLimiter {
  public:
    using Clock = std::chrono::steady_clock;

    explicit ProgressLimiter(ProgressCallback callback,
                             Clock::duration interval = std::chrono::milliseconds(100))
        : callback_(std::move(callback)), interval_(interval) {}

    /// Forwards `fraction` when the interval since the last forwarded report has passed.
    void report(double fraction) { send(fraction, false); }

    /// Forwards `fraction` now, ignoring the interval (still monotonic).
    void force(double fraction) { send(fraction, true); }

    /// True when a report now would be forwarded (lets a loop skip computing the fraction).
    bool due() const { return !sent_ || Clock::now() - last_ >= interval_; }

    /// The last fraction forwarded, or -1 before the first report.
    double lastReported() const { return sent_ ? lastValue_ : -1.0; }

  private:
    void send(double fraction, bool always) {
        if (!callback_) return;
        if (!(fraction >= 0.0)) fraction = 0.0;  // also maps NaN to 0
        if (fraction > 1.0) fraction = 1.0;
        if (sent_ && fraction < lastValue_) return;
        const auto now = Clock::now();
        if (!always && sent_ && now - last_ < interval_) return;
        last_ = now;
        lastValue_ = fraction;
        sent_ = true;
        callback_(fraction);
    }

    ProgressCallback callback_;
    Clock::duration interval_;
    Clock::time_point last_{};
    double lastValue_ = 0.0;
    bool sent_ = false;
};

/// Interval timer for "at most once per 0.1 s" rules stated on a specific formula.
class IntervalGate {
  public:
    explicit IntervalGate(
        std::chrono::steady_clock::duration interval = std::chrono::milliseconds(100))
        : interval_(interval) {}
    /// True at most once per interval; the first call is true.
    bool pass() {
        const auto now = std::chrono::steady_clock::now();
        if (started_ && now - last_ < interval_) return false;
        started_ = true;
        last_ = now;
        return true;
    }

  private:
    std::chrono::steady_clock::duration interval_;
    std::chrono::steady_clock::time_point last_{};
    bool started_ = false;
};

}  // namespace corvaline
