// The overview, peak and RMS of every channel, accumulated as blocks pass.

#include "audiocore/files/AudioAnalysis.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <stdexcept>

#include "audiocore/files/AudioIO.hpp"
#include "audiocore/model/AudioBuffer.hpp"

namespace corvaline {

namespace {

/// Sums of squares run in this many interleaved partial sums: one running sum would make
/// every sample wait for the previous addition.
constexpr int kLanes = 4;

/// The largest |sample| of `samples` (non-finite ones count as 0) joined with `peak`, and
/// their squares added to the partial sums `lanes`: frame f of the recording goes to lane
/// f mod 4 (`first` is the recording frame of samples[0]), so the sums do not depend on how
/// the recording was cut into blocks.
float accumulate(const float* samples, int64_t count, int64_t first, float peak, double* lanes) {
    const auto finite = [](float s) {
        const float a = std::fabs(s);
        return a <= FLT_MAX ? a : 0.0f;
    };
    int64_t i = 0;
    for (; i < count && (first + i) % kLanes != 0; ++i) {
        const float a = finite(samples[i]);
        peak = std::max(peak, a);
        lanes[(first + i) % kLanes] += double(a) * double(a);
    }
#if defined(__SSE2__)
    // Four frames at a time: lanes 0-1 and 2-3 as pairs of doubles, the same arithmetic as one
    // frame at a time.
    __m128d low = _mm_set_pd(lanes[1], lanes[0]), high = _mm_set_pd(lanes[3], lanes[2]);
    __m128 peaks = _mm_set1_ps(peak);
    const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
    const __m128 largest = _mm_set1_ps(FLT_MAX);
    for (; i + kLanes <= count; i += kLanes) {
        __m128 a = _mm_and_ps(_mm_loadu_ps(samples + i), magnitude);
        a = _mm_and_ps(a, _mm_cmple_ps(a, largest));  // NaN and infinity fail: 0
        peaks = _mm_max_ps(peaks, a);
        const __m128d d0 = _mm_cvtps_pd(a);
        const __m128d d1 = _mm_cvtps_pd(_mm_movehl_ps(a, a));
        low = _mm_add_pd(low, _mm_mul_pd(d0, d0));
        high = _mm_add_pd(high, _mm_mul_pd(d1, d1));
    }
    alignas(16) float four[kLanes];
    _mm_store_ps(four, peaks);
    for (float p : four)
        peak = std::max(peak, p);
    _mm_storeu_pd(lanes, low);
    _mm_storeu_pd(lanes + 2, high);
#endif
    for (; i < count; ++i) {
        const float a = finite(samples[i]);
        peak = std::max(peak, a);
        lanes[(first + i) % kLanes] += double(a) * double(a);
    }
    return peak;
}

}  // namespace

AudioAnalysis::AudioAnalysis(int channels, int64_t length)
    : length_(length), points_(std::min(length, AudioIO::kOverviewPoints)) {
    if (channels < 1 || channels > kMaxChannels || length < 1)
        throw std::invalid_argument("AudioAnalysis: 1 to 128 channels and at least one frame");
    overview_.assign(size_t(channels), std::vector<float>(size_t(points_), 0.0f));
    peaks_.assign(size_t(channels), 0.0f);
    squares_.assign(size_t(channels) * kLanes, 0.0);
}

void AudioAnalysis::add(const float* const* planes, uint32_t frames) {
    if (int64_t(frames) > length_ - position_)
        throw std::out_of_range("AudioAnalysis::add: frames beyond the declared length");
    // 128-bit products: p x points must not overflow for any length.
    __extension__ typedef __int128 Wide;
    uint32_t i = 0;
    while (i < frames) {
        // The frames from here to the first frame of the next point, ceil((k + 1) L / P),
        // all belong to point k = p P / L.
        const int64_t p = position_ + int64_t(i);
        const auto k = int64_t(std::min<Wide>(Wide(p) * points_ / length_, points_ - 1));
        uint32_t end = frames;
        if (k < points_ - 1) {
            const Wide next = (Wide(k + 1) * length_ + points_ - 1) / points_;
            end = uint32_t(std::min<Wide>(end, next - position_));
        }
        for (size_t c = 0; c < overview_.size(); ++c) {
            float& point = overview_[c][size_t(k)];
            point = accumulate(planes[c] + i, end - i, p, point, &squares_[c * kLanes]);
            peaks_[c] = std::max(peaks_[c], point);
        }
        i = end;
    }
    position_ += frames;
}

std::vector<ChannelInfo> AudioAnalysis::channels(const std::vector<std::string>& names) const {
    std::vector<ChannelInfo> infos;
    infos.reserve(overview_.size());
    for (size_t c = 0; c < overview_.size(); ++c) {
        ChannelInfo info;
        info.id = int(c);
        info.name =
            c < names.size() && !names[c].empty() ? names[c] : "Channel " + std::to_string(c + 1);
        info.waveform = overview_[c];
        info.peak = peaks_[c];
        const double* lanes = &squares_[c * kLanes];
        const double sum = (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
        info.rms = float(std::sqrt(sum / double(length_)));
        infos.push_back(std::move(info));
    }
    return infos;
}

}  // namespace corvaline
