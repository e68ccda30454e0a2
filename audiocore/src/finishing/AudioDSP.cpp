#include "audiocore/finishing/AudioDSP.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <condition_variable>
#include <exception>
#include <limits>
#include <mutex>
#include <system_error>
#include <thread>

#include "audiocore/dsp/TruePeakMeter.hpp"
#include "audiocore/files/AudioIO.hpp"
#include "audiocore/finishing/DSPStream.hpp"
#include "audiocore/finishing/LoudnessNormalization.hpp"
#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/model/SettingsFields.hpp"
#include "audiocore/platform/Cancellation.hpp"

namespace corvaline::AudioDSP {

namespace fs = std::filesystem;

namespace {

// Writes blocks (and measures them) on a second thread while the chain produces the next ones:
// on two cores the encoding and the true-peak measurement run beside the finishing chain.
// Three blocks circulate; nothing is allocated per block.
class BlockWriter {
  public:
    BlockWriter(AudioFileWriter& writer, TruePeakMeter* meter, std::vector<int> indices,
                int channels)
        : writer_(writer), meter_(meter), indices_(std::move(indices)) {
        for (auto& block : blocks_)
            block.allocate(channels, DSPStream::kMaxBlockFrames);
        thread_ = std::thread([this] { run(); });
    }
    ~BlockWriter() {
        {
            std::lock_guard lock(mutex_);
            closing_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    BlockWriter(const BlockWriter&) = delete;
    BlockWriter& operator=(const BlockWriter&) = delete;

    /// A block to fill (waits while all three are queued). Rethrows the writer's failure.
    AudioBuffer& acquire() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return queued_ < blocks_.size() || failure_; });
        if (failure_) std::rethrow_exception(failure_);
        return blocks_[(head_ + queued_) % blocks_.size()];
    }
    /// Queues the block last acquired.
    void submit() {
        {
            std::lock_guard lock(mutex_);
            ++queued_;
        }
        changed_.notify_all();
    }
    /// Waits until every queued block is written. Rethrows the writer's failure.
    void finish() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return queued_ == 0 || failure_; });
        if (failure_) std::rethrow_exception(failure_);
    }

  private:
    void run() {
        for (;;) {
            AudioBuffer* block = nullptr;
            {
                std::unique_lock lock(mutex_);
                changed_.wait(lock, [this] { return queued_ > 0 || closing_; });
                if (queued_ == 0 || failure_) return;
                block = &blocks_[head_];
            }
            try {
                writer_.write(*block);
                if (meter_) meter_->add(*block, indices_);
            } catch (...) {
                std::lock_guard lock(mutex_);
                failure_ = std::current_exception();
                changed_.notify_all();
                return;
            }
            {
                std::lock_guard lock(mutex_);
                head_ = (head_ + 1) % blocks_.size();
                --queued_;
            }
            changed_.notify_all();
        }
    }

    AudioFileWriter& writer_;
    TruePeakMeter* meter_;
    std::vector<int> indices_;
    std::array<AudioBuffer, 3> blocks_;
    std::mutex mutex_;
    std::condition_variable changed_;
    size_t head_ = 0;
    size_t queued_ = 0;
    bool closing_ = false;
    std::exception_ptr failure_;
    std::thread thread_;
};

// One pass of the chain over `input` into `target` at `bits`, with the safety trim `trimDB`
// applied to the processed channels after the chain. With `measured` (the channels to watch),
// returns the strict true peak of what was written over those channels, in dBTP; for integer
// PCM the reading includes the most rounding can add.
double renderPass(const FinishingInput& input, const fs::path& target, int bits, double trimDB,
                  const std::vector<int>* measured, const ProgressCallback& progress,
                  const std::stop_token& cancel) {
    // The normalisation is planned first (a measurement of the finished programme, cached) and
    // handed to the stream.
    std::optional<NormalizationPlan> normalization;
    if (input.settings.normalizationEnabled) {
        normalization = LoudnessNormalization::plan(input, cancel);
    }
    DSPStream stream(input, normalization);
    stream.setTrim(trimDB);
    requireWaveSize(stream.channelCount(), bits, stream.length());
    std::vector<int> indices;
    if (measured) {
        for (int c : *measured) {
            if (c < stream.channelCount()) indices.push_back(c);
        }
    }
    std::optional<TruePeakMeter> meter;
    if (!indices.empty()) meter.emplace(int(indices.size()));

    auto writer = AudioIO::writer(target, stream.sampleRate(), stream.channelCount(), bits);
    ProgressLimiter limiter(progress);
    {
        BlockWriter output(*writer, meter ? &*meter : nullptr, indices, stream.channelCount());
        int64_t written = 0;
        for (;;) {
            throwIfCancelled(cancel);
            AudioBuffer& block = output.acquire();
            if (!stream.next(block, DSPStream::kMaxBlockFrames, cancel)) break;
            written += block.frameLength();
            output.submit();
            limiter.report(double(written) / double(std::max<int64_t>(1, stream.length())));
        }
        output.finish();
    }
    writer->close();
    limiter.force(1.0);
    if (!meter) return -std::numeric_limits<double>::infinity();
    double peak = meter->peak();
    // Rounding to integer PCM moves every sample by at most half a step.
    if (bits < 32) peak += meter->errorBound(std::ldexp(1.0, -bits));
    return peak > 0 ? 20 * std::log10(peak) : -std::numeric_limits<double>::infinity();
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
        renderPass(input, destination, bits, 0, nullptr, progress, cancel);
        return;
    }

    // The ceiling is checked with the strict meter (an upper bound of the reconstructed peak),
    // not the 4x interpolator the limiter and BS.1770 meters use: a file verified here passes
    // any compliant true-peak meter. The pass writes the destination and measures what it
    // writes; only when that is over the ceiling is the chain run again with a safety trim
    // after it (never a boost). No float intermediate is written.
    std::vector<int> measured;
    for (size_t c = 0; c < channels.size(); ++c) {
        if (channels[c].process) measured.push_back(int(c));
    }
    const double ceiling =
        Setting::ceiling.guard(verifiedCeiling ? *verifiedCeiling : settings.ceiling);
    const double first = renderPass(input, destination, bits, 0, &measured, progress, cancel);
    if (first <= ceiling - 0.01) return;

    const double trim = ceiling - 0.01 - first;
    double last = renderPass(input, destination, bits, trim, &measured, {}, cancel);
    if (last > ceiling) {
        last = renderPass(input, destination, bits, trim - (last - ceiling + 0.02), &measured, {},
                          cancel);
    }
    if (!(last <= ceiling + 0.001)) {
        throw AudioFailure("PCM conversion could not meet the selected true-peak ceiling.");
    }
}

}  // namespace corvaline::AudioDSP
