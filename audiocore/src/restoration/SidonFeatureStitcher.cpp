#include "audiocore/restoration/SidonFeatureStitcher.hpp"

#include <algorithm>
#include <cmath>

#include "audiocore/model/AudioFailure.hpp"

namespace corvaline {

std::vector<float> SidonFeatureStitcher::merge(std::vector<float> values, int64_t start,
                                               int64_t bodyStart) {
    if (int64_t(values.size()) != rows * width ||
        !std::all_of(values.begin(), values.end(), [](float v) { return std::isfinite(v); })) {
        throw AudioFailure("Sidon returned incompatible speech features.");
    }
    if (previousFeatures.empty()) {
        previousFeatures = values;
        previousStart = start;
        return values;
    }
    if (previousStart >= start)
        throw AudioFailure("Sidon speech-feature windows are out of order.");

    for (int64_t j = 0; j < rows; ++j) {
        const int64_t row = start + j;
        const int64_t previousRow = row - previousStart;
        if (previousRow < 0 || previousRow >= rows || row >= bodyStart + holdRows + fadeRows) {
            continue;
        }
        // 0 up to body + 15, then a linear fade to the new window over 30 rows.
        const float h = float(std::max<int64_t>(0, row - (bodyStart + holdRows))) / float(fadeRows);
        float* current = values.data() + j * width;
        const float* previous = previousFeatures.data() + previousRow * width;
        for (int64_t c = 0; c < width; ++c) {
            current[c] =
                float((1.0 - double(h)) * double(previous[c]) + double(h) * double(current[c]));
        }
    }
    previousFeatures = values;
    previousStart = start;
    return values;
}

}  // namespace corvaline
