#pragma once
// A half-open range of sample frames [start, end) on one recording's timeline.

#include <cstdint>

namespace corvaline {

struct AudioFrameRange {
    int64_t start = 0;
    int64_t end = 0;

    /// Checked constructor. Throws AudioFailure "Choose a non-empty audio range."
    /// unless 0 <= start < end.
    static AudioFrameRange make(int64_t start, int64_t end);

    int64_t count() const { return end - start; }

    /// The range widened by up to `context` frames on each side, clipped to [0, limit).
    /// Throws "The preview range extends beyond the recording." when context < 0 or
    /// end > limit, and "Choose a non-empty audio range." when the result is empty.
    AudioFrameRange addingContext(int64_t context, int64_t limit) const;

    friend bool operator==(const AudioFrameRange&, const AudioFrameRange&) = default;
};

}  // namespace corvaline
