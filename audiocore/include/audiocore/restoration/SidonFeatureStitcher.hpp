#pragma once
// Blends the speech features of overlapping Careful-mode windows before synthesis, so the
// vocoder sees one continuous feature stream across a seam: rows before body + 15 come from
// the previous window, the next 30 rows (0.6 s) fade linearly to the new window, later rows
// are the new window's own. One stitcher per render.

#include <cstdint>
#include <vector>

namespace corvaline {

struct SidonFeatureStitcher {
    static constexpr int64_t rows = 499;     ///< feature rows per window (50 per second)
    static constexpr int64_t width = 1024;   ///< values per row
    static constexpr int64_t holdRows = 15;  ///< rows after the body start taken from before
    static constexpr int64_t fadeRows = 30;  ///< rows of the linear fade

    /// The merged features of the previous window; empty before the first.
    std::vector<float> previousFeatures;
    /// Absolute feature-row index at which the previous window starts.
    int64_t previousStart = 0;

    /// Merges a window of 499 x 1024 values starting at absolute row `start`, whose body
    /// starts at absolute row `bodyStart`, with the previous window, stores the result as
    /// the new previous window and returns it. Throws AudioFailure "Sidon returned
    /// incompatible speech features." (wrong size or non-finite) and "Sidon speech-feature
    /// windows are out of order." (a start not after the previous one); the state is then
    /// unchanged.
    std::vector<float> merge(std::vector<float> values, int64_t start, int64_t bodyStart);
};

}  // namespace corvaline
