#include "audiocore/finishing/LavPairAnalyzer.hpp"

#include <algorithm>
#include <cmath>

#include "audiocore/dsp/Guard.hpp"
#include "audiocore/dsp/SpeechBandDetector.hpp"
#include "audiocore/files/AudioIO.hpp"
#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/model/SettingsFields.hpp"
#include "audiocore/platform/Cancellation.hpp"
#include "audiocore/platform/Progress.hpp"

namespace corvaline::LavPairAnalyzer {

namespace {

constexpr uint32_t kReadFrames = 16384;

[[noreturn]] void failFit() {
    throw AudioFailure(
        "Calibration needs a passage with both people taking turns. Use a longer selection or "
        "the full recording; detector trims were not changed.");
}

}  // namespace

Fit fit(std::vector<double> differences) {
    std::sort(differences.begin(), differences.end());
    const size_t n = differences.size();
    if (n < 40) failFit();
    const double lo = differences[n / 20];
    const double hi = differences[19 * n / 20];
    const size_t minimum = n > 659 ? n / 33 : 20;
    double c0 = lo;
    double c1 = hi;
    for (int iteration = 0; iteration < 30; ++iteration) {
        double sum[2] = {0, 0};
        size_t count[2] = {0, 0};
        for (double value : differences) {
            const double x = std::clamp(value, lo, hi);
            const int cluster = std::abs(x - c0) < std::abs(x - c1) ? 0 : 1;
            sum[cluster] += x;
            ++count[cluster];
        }
        if (count[0] < minimum || count[1] < minimum) failFit();
        const double m0 = sum[0] / double(count[0]);
        const double m1 = sum[1] / double(count[1]);
        const bool settled = std::abs(m0 - c0) < 0.001 && std::abs(m1 - c1) < 0.001;
        c0 = m0;
        c1 = m1;
        if (settled) break;
    }
    const double lower = std::min(c0, c1);
    const double upper = std::max(c0, c1);
    const double midpoint = (lower + upper) / 2;
    if (upper - lower < 12 || std::abs(midpoint) > 24) failFit();
    // Half the midpoint on each detector, in opposite directions, centres the clusters on 0 dB.
    return {-(lower + upper) / 4, upper - lower};
}

LavPairCalibration analyze(const std::filesystem::path& source, int channelA, int channelB,
                           std::optional<AudioFrameRange> range, double floor,
                           const ProgressCallback& progress, std::stop_token cancel) {
    auto file = AudioIO::open(source);
    const int channels = file->channelCount();
    const int64_t length = file->length();
    const bool valid =
        channelA != channelB && channelA >= 0 && channelB >= 0 && channelA < channels &&
        channelB < channels &&
        (!range || (range->start >= 0 && range->start < range->end && range->end <= length));
    if (!valid) throw AudioFailure("Choose two different synchronized lav tracks.");
    const int64_t start = range ? range->start : 0;
    const int64_t end = range ? range->end : length;
    const int64_t passage = end - start;
    file->seek(start);

    const double rate = file->sampleRate();
    SpeechBandDetector detectorA(rate);
    SpeechBandDetector detectorB(rate);
    const int64_t interval = std::max<int64_t>(1, int64_t(std::floor(rate * 0.1)));
    const double floorDB = Setting::bleedFloor.guard(floor);

    std::vector<double> differences;
    differences.reserve(size_t(passage / interval + 1));
    AudioBuffer block(channels, kReadFrames);
    ProgressLimiter limiter(progress);
    int64_t read = 0;
    int64_t counter = 0;
    while (read < passage) {
        throwIfCancelled(cancel);
        const auto want = uint32_t(std::min<int64_t>(kReadFrames, passage - read));
        const uint32_t got = file->read(block, want);
        if (got == 0) throw AudioFailure("The lav recording ended unexpectedly.");
        const float* a = block.channel(channelA);
        const float* b = block.channel(channelB);
        for (uint32_t i = 0; i < got; ++i) {
            const double eA = detectorA.tick(a[i]);
            const double eB = detectorB.tick(b[i]);
            if (++counter == interval) {
                counter = 0;
                const double levelA = 10 * std::log10(std::max(eA, 1e-15));
                const double levelB = 10 * std::log10(std::max(eB, 1e-15));
                if (std::max(levelA, levelB) > floorDB) {
                    differences.push_back(std::clamp(levelA - levelB, -48.0, 48.0));
                }
            }
        }
        read += got;
        limiter.report(double(read) / double(std::max<int64_t>(1, passage)));
    }
    const Fit result = fit(std::move(differences));
    throwIfCancelled(cancel);
    limiter.force(1.0);
    return {result.trim, -result.trim, result.separation, double(passage) / rate};
}

}  // namespace corvaline::LavPairAnalyzer
