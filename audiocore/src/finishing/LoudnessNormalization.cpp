#include "audiocore/finishing/LoudnessNormalization.hpp"

#include "audiocore/platform/Progress.hpp"

#include <algorithm>
#include <cmath>
#include <deque>
#include <mutex>

#include "audiocore/dsp/Guard.hpp"
#include "audiocore/finishing/DSPStream.hpp"
#include "audiocore/finishing/LoudnessMeter.hpp"
#include "audiocore/model/SettingsFields.hpp"

namespace corvaline::LoudnessNormalization {

namespace {

// One file a plan reads. The modification time and size make an edited or replaced file miss
// the cache.
struct FileKey {
    std::filesystem::path path;
    int64_t offset = 0;
    std::filesystem::file_time_type stamp;
    uintmax_t size = 0;

    friend bool operator==(const FileKey&, const FileKey&) = default;
};

FileKey fileKey(const std::filesystem::path& path, int64_t offset) {
    return {path, offset, std::filesystem::last_write_time(path), std::filesystem::file_size(path)};
}

std::optional<FileKey> fileKey(const std::optional<OriginalAudioReference>& reference) {
    if (!reference) return std::nullopt;
    return fileKey(reference->source, reference->offset);
}

// Everything a plan depends on: the input (channel flags reduced to what the measurement
// reads) and the identity of each file it reads.
struct Key {
    FinishingInput input;
    FileKey source;
    std::optional<FileKey> original;
    std::optional<FileKey> sidechain;

    friend bool operator==(const Key&, const Key&) = default;
};

Key keyFor(const FinishingInput& input) {
    Key key{input, fileKey(input.source, 0), fileKey(input.original), fileKey(input.sidechain)};
    // Mute and solo only change what is heard in the monitor, never the finished programme.
    for (ChannelSettings& channel : key.input.channels)
        channel = ChannelSettings{channel.process, false, false};
    return key;
}

struct Cache {
    std::mutex lock;
    std::deque<std::pair<Key, NormalizationPlan>> entries;
};

Cache& cache() {
    static Cache instance;
    return instance;
}

}  // namespace

NormalizationPlan decide(const LoudnessReport& measured, const ProcessingSettings& settings) {
    NormalizationPlan plan{measured, 0, false};
    if (!measured.integrated) return plan;
    const double target = Setting::targetLUFS.guarded(settings);
    const double need = target - *measured.integrated;
    const double boostLimit = Setting::normalizationMaxBoost.guarded(settings);
    const double peakRoom = Setting::ceiling.guarded(settings) - 0.05 - measured.truePeak;
    plan.gainDB = std::min({need, boostLimit, peakRoom});
    plan.peakLimited = plan.gainDB < need - 0.1;
    return plan;
}

NormalizationPlan plan(const std::filesystem::path& source, std::optional<AudioFrameRange> range,
                       const ProcessingSettings& settings,
                       const std::vector<ChannelSettings>& channels,
                       std::optional<OriginalAudioReference> original,
                       std::optional<OriginalAudioReference> sidechain, std::stop_token cancel,
                       const ProgressCallback& progress) {
    return plan(FinishingInput{source, range, settings, channels, std::move(original),
                               std::move(sidechain)},
                std::move(cancel), progress);
}

NormalizationPlan plan(const FinishingInput& input, std::stop_token cancel,
                       const ProgressCallback& progress) {
    Key key = keyFor(input);
    Cache& shared = cache();
    {
        std::lock_guard lock(shared.lock);
        for (const auto& [entryKey, entryPlan] : shared.entries) {
            if (entryKey == key) return entryPlan;
        }
    }

    FinishingInput unnormalized = input;
    unnormalized.settings.normalizationEnabled = false;
    DSPStream stream(unnormalized, std::nullopt);
    LoudnessMeter meter(stream.sampleRate(), stream.channelCount(), input.selected());
    AudioBuffer block(stream.channelCount(), DSPStream::kMaxBlockFrames);
    ProgressLimiter limiter(progress);
    const double total = double(std::max<int64_t>(stream.length(), 1));
    while (stream.next(block, DSPStream::kMaxBlockFrames, cancel)) {
        meter.add(block);
        limiter.report(double(stream.length() - stream.remaining()) / total);
    }
    limiter.force(1.0);
    const NormalizationPlan result = decide(meter.report(), input.settings);

    std::lock_guard lock(shared.lock);
    if (shared.entries.size() >= kCacheEntries) shared.entries.pop_front();
    shared.entries.emplace_back(std::move(key), result);
    return result;
}

void clearCache() {
    std::lock_guard lock(cache().lock);
    cache().entries.clear();
}

size_t cacheSize() {
    std::lock_guard lock(cache().lock);
    return cache().entries.size();
}

}  // namespace corvaline::LoudnessNormalization
