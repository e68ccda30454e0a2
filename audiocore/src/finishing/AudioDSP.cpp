#include "audiocore/finishing/AudioDSP.hpp"

#include <algorithm>
#include <cmath>
#include <system_error>

#include "audiocore/dsp/Guard.hpp"
#include "audiocore/files/AudioIO.hpp"
#include "audiocore/finishing/DSPStream.hpp"
#include "audiocore/finishing/LoudnessMeter.hpp"
#include "audiocore/finishing/LoudnessNormalization.hpp"
#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/model/SettingsFields.hpp"
#include "audiocore/platform/Cancellation.hpp"
#include "audiocore/platform/Uuid.hpp"

namespace corvaline::AudioDSP {

namespace fs = std::filesystem;

namespace {

// Removes the hidden intermediate on every way out of the render; a failure to delete it is
// ignored.
struct Intermediate {
    fs::path path;
    ~Intermediate() {
        if (!path.empty()) {
            std::error_code ignored;
            fs::remove(path, ignored);
        }
    }
};

void renderPass(const FinishingInput& input, const fs::path& target, int requestedBits,
                int writtenBits, const ProgressCallback& progress, const std::stop_token& cancel) {
    // The normalisation is planned first (a measurement of the finished programme, cached) and
    // handed to the stream.
    std::optional<NormalizationPlan> normalization;
    if (input.settings.normalizationEnabled) {
        normalization = LoudnessNormalization::plan(input, cancel);
    }
    DSPStream stream(input, normalization);
    requireWaveSize(stream.channelCount(), requestedBits, stream.length());
    auto writer = AudioIO::writer(target, stream.sampleRate(), stream.channelCount(), writtenBits);
    AudioBuffer block(stream.channelCount(), DSPStream::kMaxBlockFrames);
    ProgressLimiter limiter(progress);
    int64_t written = 0;
    while (stream.next(block, DSPStream::kMaxBlockFrames, cancel)) {
        throwIfCancelled(cancel);
        writer->write(block);
        written += block.frameLength();
        limiter.report(double(written) / double(std::max<int64_t>(1, stream.length())));
    }
    writer->close();
    limiter.force(1.0);
}

// The trim pass: the intermediate through a bypassed chain whose output gain, linked over the
// processed channels only, is the safety trim.
void trimPass(const fs::path& intermediate, const fs::path& destination, double trimDB,
              const std::vector<ChannelSettings>& channels, int bits,
              const std::stop_token& cancel) {
    ProcessingSettings trim = ProcessingSettings::bypass();
    trim.outputGain = trimDB;
    renderPass({intermediate, std::nullopt, trim, channels, std::nullopt, std::nullopt},
               destination, bits, bits, {}, cancel);
}

}  // namespace

void requireWaveSize(int channels, int bits, int64_t frames) {
    const uint64_t bytesPerFrame =
        uint64_t(std::max(channels, 0)) * uint64_t(std::max(bits, 0)) / 8;
    const uint64_t count = uint64_t(std::max<int64_t>(frames, 0));
    // Compare by division so that no product can overflow.
    if (bytesPerFrame > 0 && count >= (kMaxDataBytes + bytesPerFrame - 1) / bytesPerFrame) {
        throw AudioFailure(
            "Export exceeds the 4 GB WAV limit. Use a shorter source for this version.");
    }
}

bool isSameFile(const fs::path& a, const fs::path& b) {
    std::error_code error;
    if (fs::exists(a, error) && fs::exists(b, error) && fs::equivalent(a, b, error)) return true;
    const fs::path left = fs::weakly_canonical(fs::absolute(a), error);
    if (error) return fs::absolute(a).lexically_normal() == fs::absolute(b).lexically_normal();
    const fs::path right = fs::weakly_canonical(fs::absolute(b), error);
    if (error) return false;
    return left == right;
}

void render(const fs::path& source, const fs::path& destination, const ProcessingSettings& settings,
            const std::vector<ChannelSettings>& channels, int bits,
            std::optional<OriginalAudioReference> original,
            std::optional<OriginalAudioReference> sidechain, std::optional<double> verifiedCeiling,
            const ProgressCallback& progress, std::stop_token cancel) {
    render(FinishingInput{source, std::nullopt, settings, channels, std::move(original),
                          std::move(sidechain)},
           destination, bits, verifiedCeiling, progress, std::move(cancel));
}

void render(const FinishingInput& input, const fs::path& destination, int bits,
            std::optional<double> verifiedCeiling, const ProgressCallback& progress,
            std::stop_token cancel) {
    const fs::path& source = input.source;
    const ProcessingSettings& settings = input.settings;
    const std::vector<ChannelSettings>& channels = input.channels;
    const std::optional<OriginalAudioReference>& original = input.original;
    const std::optional<OriginalAudioReference>& sidechain = input.sidechain;
    if (isSameFile(destination, source) ||
        (original && isSameFile(destination, original->source)) ||
        (sidechain && isSameFile(destination, sidechain->source))) {
        throw AudioFailure("Choose a different output file to protect the source recording.");
    }
    const bool anyProcessed = std::any_of(channels.begin(), channels.end(),
                                          [](const ChannelSettings& c) { return c.process; });
    const bool verify =
        anyProcessed && (verifiedCeiling || (settings.limiterEnabled && settings.truePeakEnabled) ||
                         settings.normalizationEnabled);
    if (!verify) {
        renderPass(input, destination, bits, bits, progress, cancel);
        return;
    }

    Intermediate intermediate{destination.parent_path() / (".dsp-" + newUuidString() + ".wav")};
    renderPass(input, intermediate.path, bits, 32, progress, cancel);

    std::vector<bool> selected;
    for (const auto& channel : channels)
        selected.push_back(channel.process);
    // The ceiling is checked with the strict meter (an upper bound of the reconstructed peak),
    // not the 4x interpolator the limiter and BS.1770 meters use: a file verified here passes
    // any compliant true-peak meter.
    const double measured = LoudnessMeter::measureTruePeak(intermediate.path, selected, cancel);
    const double ceiling =
        Setting::ceiling.guard(verifiedCeiling ? *verifiedCeiling : settings.ceiling);
    const double trim = std::min(ceiling - 0.01 - measured, 0.0);
    trimPass(intermediate.path, destination, trim, channels, bits, cancel);
    if (bits == 32) return;

    // Integer conversion rounds and clips; it can lift the true peak a little.
    double last = LoudnessMeter::measureTruePeak(destination, selected, cancel);
    if (last > ceiling) {
        trimPass(intermediate.path, destination, trim - (last - ceiling + 0.02), channels, bits,
                 cancel);
        last = LoudnessMeter::measureTruePeak(destination, selected, cancel);
    }
    if (!(last <= ceiling + 0.001)) {
        throw AudioFailure("PCM conversion could not meet the selected true-peak ceiling.");
    }
}

}  // namespace corvaline::AudioDSP
