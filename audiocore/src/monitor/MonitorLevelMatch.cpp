// Level matching: one sequential pass per file through the monitor's listening mix.

#include "audiocore/monitor/MonitorLevelMatch.hpp"

#include <algorithm>
#include <cmath>

#include "audiocore/files/AudioIO.hpp"
#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/platform/Cancellation.hpp"

namespace corvaline::MonitorLevelMatch {

std::vector<int> audibleChannels(int channelCount, const std::vector<ChannelSettings>& states) {
    const bool noSolo =
        std::none_of(states.begin(), states.end(), [](const ChannelSettings& s) { return s.solo; });
    std::vector<int> audible;
    audible.reserve(size_t(std::max(channelCount, 0)));
    for (int j = 0; j < channelCount; ++j) {
        if (size_t(j) >= states.size()) {
            if (noSolo) audible.push_back(j);
        } else if (!states[size_t(j)].mute && (noSolo || states[size_t(j)].solo)) {
            audible.push_back(j);
        }
    }
    return audible;
}

bool isStereoMix(int channelCount, const std::vector<int>& audible) {
    return channelCount == 2 && audible.size() == 2;
}

Statistics statistics(const std::filesystem::path& url, std::optional<AudioFrameRange> range,
                      const std::vector<ChannelSettings>& states, std::stop_token cancel) {
    auto file = AudioIO::open(url);
    const int64_t length = file->length();
    int64_t start = 0;
    int64_t end = length;
    if (range) {
        if (range->start < 0 || range->end <= range->start || range->end > length) {
            throw AudioFailure("Invalid level-matching passage.");
        }
        start = range->start;
        end = range->end;
    }
    const int channels = file->channelCount();
    const std::vector<int> audible = audibleChannels(channels, states);
    const bool stereo = isStereoMix(channels, audible);
    const float count = float(audible.size());

    AudioBuffer buffer(channels, kChunkFrames);
    AudioBuffer scratch(channels, kChunkFrames);
    if (start > 0) file->seek(start);

    double sum = 0;
    double peak = 0;
    int64_t remaining = end - start;
    while (remaining > 0) {
        throwIfCancelled(cancel);
        const auto n = uint32_t(std::min<int64_t>(remaining, kChunkFrames));
        AudioIO::readExactly(*file, buffer, scratch, n);
        for (uint32_t i = 0; i < n; ++i) {
            float left = 0;
            float right = 0;
            if (stereo) {
                left = buffer.channel(0)[i];
                right = buffer.channel(1)[i];
            } else if (!audible.empty()) {
                float mono = 0;
                for (int j : audible)
                    mono += buffer.channel(j)[i];
                left = right = mono / count;
            }
            if (!std::isfinite(left) || !std::isfinite(right)) {
                throw AudioFailure("Invalid monitor audio.");
            }
            sum += 0.5 * (double(left) * left + double(right) * right);
            peak = std::max({peak, double(std::fabs(left)), double(std::fabs(right))});
        }
        remaining -= n;
    }
    Statistics result;
    result.frames = end - start;
    // A file without frames has no level; reporting 0 keeps it "silent" instead of NaN.
    result.rms = result.frames > 0 ? std::sqrt(sum / double(result.frames)) : 0.0;
    result.peak = peak;
    result.rate = file->sampleRate();
    return result;
}

std::pair<double, double> matchGains(const Statistics& o, const Statistics& p) {
    if (o.frames != p.frames || o.rate != p.rate) {
        throw AudioFailure("Level comparison requires the same audition passage.");
    }
    if (!(o.rms > kSilenceRMS && p.rms > kSilenceRMS)) return {1.0, 1.0};
    const double target = std::min(o.rms, p.rms);
    const double scaledPeak = std::max(o.peak * target / o.rms, p.peak * target / p.rms);
    const double safety = scaledPeak > 1e-12 ? std::min(kPeakCeiling / scaledPeak, 1.0) : 1.0;
    return {target / o.rms * safety, target / p.rms * safety};
}

std::pair<double, double> gains(const std::filesystem::path& original,
                                std::optional<AudioFrameRange> originalRange,
                                const std::filesystem::path& processed,
                                std::optional<AudioFrameRange> processedRange,
                                const std::vector<ChannelSettings>& states,
                                std::stop_token cancel) {
    const Statistics o = statistics(original, originalRange, states, cancel);
    const Statistics p = statistics(processed, processedRange, states, cancel);
    return matchGains(o, p);
}

}  // namespace corvaline::MonitorLevelMatch
