#include "audiocore/finishing/LoudnessMeter.hpp"

#include <ebur128.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>

#include "audiocore/dsp/TruePeakMeter.hpp"
#include "audiocore/files/AudioIO.hpp"
#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/platform/Cancellation.hpp"

namespace corvaline {

namespace {

// Every libebur128 call of the process goes through this one lock.
std::mutex& libraryLock() {
    static std::mutex lock;
    return lock;
}

ebur128_state* library(void* state) {
    return static_cast<ebur128_state*>(state);
}

// Frames of silence added before reading the true peak: the library's 4x interpolator holds
// the last samples in its delay line, so a peak at the very end is only seen after a flush.
constexpr size_t kFlushFrames = 24;

}  // namespace

LoudnessMeter::LoudnessMeter(double rate, int channels,
                             const std::optional<std::vector<bool>>& selected)
    : rate_(rate) {
    for (int c = 0; c < channels; ++c) {
        if (!selected || (size_t(c) < selected->size() && (*selected)[size_t(c)])) {
            indices_.push_back(c);
        }
    }
    if (indices_.empty() || indices_.size() > 64 || !(rate >= 8000 && rate <= 192000)) {
        throw AudioFailure("Loudness analysis needs 1-64 selected audio tracks at 8-192 kHz.");
    }
    std::lock_guard lock(libraryLock());
    // The true peak is measured by BlockTruePeak (the library's own interpolator, a block at a
    // time and outside the library lock): the library runs without its true-peak mode.
    const int mode = EBUR128_MODE_M | EBUR128_MODE_S | EBUR128_MODE_I | EBUR128_MODE_LRA |
                     EBUR128_MODE_SAMPLE_PEAK | EBUR128_MODE_HISTOGRAM;
    truePeak_ = std::make_unique<BlockTruePeak>(int(indices_.size()));
    ebur128_state* created = ebur128_init(unsigned(indices_.size()),
                                          static_cast<unsigned long>(std::lround(rate)), mode);
    if (!created) throw AudioFailure("Could not prepare loudness analysis.");
    for (unsigned c = 0; c < indices_.size(); ++c) {
        // Type 1 (left) weighs every channel 1.0: no surround weighting, no LFE exclusion.
        if (ebur128_set_channel(created, c, EBUR128_LEFT) != EBUR128_SUCCESS) {
            ebur128_destroy(&created);
            throw AudioFailure("Could not prepare loudness analysis.");
        }
    }
    state_ = created;
}

LoudnessMeter::~LoudnessMeter() {
    if (state_) {
        std::lock_guard lock(libraryLock());
        ebur128_state* state = library(state_);
        ebur128_destroy(&state);
    }
}

void LoudnessMeter::add(const AudioBuffer& block, double blockRate) {
    if (finished_) throw AudioFailure("Loudness analysis is already complete.");
    if (blockRate != rate_) throw AudioFailure("Invalid loudness buffer format.");
    add(block);
}

void LoudnessMeter::add(const AudioBuffer& block) {
    if (finished_) throw AudioFailure("Loudness analysis is already complete.");
    if (indices_.back() >= block.channelCount()) {
        throw AudioFailure("Invalid loudness buffer format.");
    }
    const size_t frames = block.frameLength();
    const size_t count = indices_.size();
    if (frames == 0) return;
    if (samples_.size() < frames * count) samples_.resize(frames * count);
    float* out = samples_.data();
    for (size_t i = 0; i < frames; ++i) {
        for (int c : indices_) {
            const float x = block.channel(c)[i];
            if (!std::isfinite(x)) throw AudioFailure("Non-finite audio cannot be normalized.");
            *out++ = x;
        }
    }
    {
        std::lock_guard lock(libraryLock());
        if (ebur128_add_frames_float(library(state_), samples_.data(), frames) != EBUR128_SUCCESS) {
            throw AudioFailure("Loudness analysis failed.");
        }
    }
    lastPeak_ = 0;
    for (size_t k = 0; k < count; ++k) {
        lastPeak_ = std::max(lastPeak_,
                             truePeak_->add(int(k), block.channel(indices_[k]), uint32_t(frames)));
    }
    frames_ += int64_t(frames);
}

double LoudnessMeter::momentary() {
    if (finished_) throw AudioFailure("Loudness analysis is already complete.");
    double value = -std::numeric_limits<double>::infinity();
    std::lock_guard lock(libraryLock());
    if (ebur128_loudness_momentary(library(state_), &value) != EBUR128_SUCCESS) {
        return -std::numeric_limits<double>::infinity();
    }
    return value;
}

double LoudnessMeter::shortTerm() {
    if (finished_) throw AudioFailure("Loudness analysis is already complete.");
    double value = -std::numeric_limits<double>::infinity();
    std::lock_guard lock(libraryLock());
    if (ebur128_loudness_shortterm(library(state_), &value) != EBUR128_SUCCESS) {
        return -std::numeric_limits<double>::infinity();
    }
    return value;
}

double LoudnessMeter::lastTruePeak() {
    if (finished_) throw AudioFailure("Loudness analysis is already complete.");
    return lastPeak_;
}

LoudnessReport LoudnessMeter::report() {
    if (finished_) return *finished_;
    double integrated = -std::numeric_limits<double>::infinity();
    double range = std::numeric_limits<double>::quiet_NaN();
    double peak = 0;
    {
        std::lock_guard lock(libraryLock());
        if (ebur128_loudness_global(library(state_), &integrated) != EBUR128_SUCCESS) {
            integrated = -std::numeric_limits<double>::infinity();
        }
        if (ebur128_loudness_range(library(state_), &range) != EBUR128_SUCCESS) {
            range = std::numeric_limits<double>::quiet_NaN();
        }
        channelSamplePeaks_.assign(indices_.size(), 0.0);
        for (unsigned c = 0; c < indices_.size(); ++c) {
            double value = 0;
            if (ebur128_sample_peak(library(state_), c, &value) == EBUR128_SUCCESS) {
                channelSamplePeaks_[c] = value;
            }
        }
    }
    // Silence after the last block flushes the interpolator, so that a peak in the last few
    // samples is still seen (the loudness values were already read).
    const std::vector<float> silence(kFlushFrames, 0.0f);
    channelTruePeaks_.assign(indices_.size(), 0.0);
    for (unsigned c = 0; c < indices_.size(); ++c) {
        truePeak_->add(int(c), silence.data(), uint32_t(kFlushFrames));
        // The larger of the channel's true peak and its sample peak, as the library reports.
        channelTruePeaks_[c] = std::max(truePeak_->peak(int(c)), channelSamplePeaks_[c]);
        peak = std::max(peak, channelTruePeaks_[c]);
    }
    LoudnessReport report;
    if (double(frames_) >= 0.4 * rate_ && std::isfinite(integrated)) report.integrated = integrated;
    if (double(frames_) >= 3 * rate_ && std::isfinite(range)) report.range = range;
    report.truePeak = peak > 0 ? 20 * std::log10(peak) : -std::numeric_limits<double>::infinity();
    finished_ = report;
    return report;
}

LoudnessReport LoudnessMeter::measure(const std::filesystem::path& file,
                                      const std::optional<std::vector<bool>>& selected,
                                      std::stop_token cancel) {
    auto reader = AudioIO::open(file);
    LoudnessMeter meter(reader->sampleRate(), reader->channelCount(), selected);
    AudioBuffer block(reader->channelCount(), kReadFrames);
    while (reader->position() < reader->length()) {
        throwIfCancelled(cancel);
        if (reader->read(block, kReadFrames) == 0) break;
        meter.add(block);
    }
    return meter.report();
}

double LoudnessMeter::measureTruePeak(const std::filesystem::path& file,
                                      const std::optional<std::vector<bool>>& selected,
                                      std::stop_token cancel) {
    auto reader = AudioIO::open(file);
    std::vector<int> indices;
    for (int c = 0; c < reader->channelCount(); ++c) {
        if (!selected || (size_t(c) < selected->size() && (*selected)[size_t(c)])) {
            indices.push_back(c);
        }
    }
    if (indices.empty()) return -std::numeric_limits<double>::infinity();
    TruePeakMeter meter(int(indices.size()));
    AudioBuffer block(reader->channelCount(), kReadFrames);
    while (reader->position() < reader->length()) {
        throwIfCancelled(cancel);
        if (reader->read(block, kReadFrames) == 0) break;
        meter.add(block, indices);
    }
    return meter.peakDB();
}

}  // namespace corvaline
