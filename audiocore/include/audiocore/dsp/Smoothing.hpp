#pragma once
// The two ways a setting moves to a new value without a click, shared by the finishing chain
// and the stream around it:
//
// - Glide: a ramp over a fixed number of frames in which every frame moves a fraction 1/n of
//   the remaining distance, n being the frames still left (the current one included), so the
//   target is reached exactly when the ramp ends. Used for EQ coefficients, the compression
//   gain, the Original Mix share and the normalisation gain (10 ms each).
// - OnePole: exponential smoothing, value ← c·value + (1 − c)·target with c = exp(−1 / (rate ×
//   seconds)). Used for the output gain and the compressor amount (10 ms).
//
// Both are plain values with no allocation, safe in per-frame loops.

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace corvaline {

/// Frames of the 10 ms glide every clickless change uses: max(1, ⌊rate × 0.01⌋).
inline int64_t glideFrames(double rate) {
    return std::max<int64_t>(1, int64_t(std::floor(rate * 0.01)));
}

/// A ramp toward a target over a fixed number of frames.
class Glide {
  public:
    /// Starts (or restarts) a ramp of `frames` frames.
    void start(int64_t frames) { remaining_ = frames; }
    /// Ends the ramp at once.
    void stop() { remaining_ = 0; }
    /// Frames left in the ramp.
    int64_t remaining() const { return remaining_; }
    bool active() const { return remaining_ >= 1; }

    /// The fraction to move this frame (1/n, 0 when no ramp runs), consuming one frame. For
    /// callers that move several values by the same step (a filter's five coefficients).
    double step() {
        if (remaining_ < 1) return 0;
        const double fraction = 1.0 / double(remaining_);
        --remaining_;
        return fraction;
    }

    /// Moves `value` by (target − value) / n and consumes one frame; nothing when no ramp runs.
    /// With `landExactly`, the last frame of the ramp sets the target itself (so rounding can
    /// never leave the value a hair off).
    template <typename T>
    void advance(T& value, T target, bool landExactly = false) {
        if (remaining_ < 1) return;
        value += (target - value) / T(remaining_);
        if (--remaining_ == 0 && landExactly) value = target;
    }

  private:
    int64_t remaining_ = 0;
};

/// Exponential smoothing toward a target.
class OnePole {
  public:
    OnePole() = default;
    /// Time constant `seconds` at `rate` Hz.
    OnePole(double rate, double seconds) : coefficient_(coefficient(rate, seconds)) {}

    /// exp(−1 / (rate × seconds)).
    static double coefficient(double rate, double seconds) {
        return std::exp(-1.0 / (rate * seconds));
    }

    /// Moves `value` one frame toward `target`.
    void follow(double& value, double target) const {
        value = coefficient_ * value + (1 - coefficient_) * target;
    }
    double value() const { return coefficient_; }

  private:
    double coefficient_ = 0;
};

}  // namespace corvaline
