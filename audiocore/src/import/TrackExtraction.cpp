#include "audiocore/import/TrackExtraction.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "audiocore/files/AudioIO.hpp"
#include "audiocore/import/MediaImport.hpp"
#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/platform/Cancellation.hpp"
#include "audiocore/platform/Errors.hpp"

namespace corvaline::MediaImport {

namespace {

/// round() into a frame position, or nullopt when the value is not finite or reaches 2^62.
bool toFrame(double value, int64_t& frame) {
    const double r = std::round(value);
    if (!std::isfinite(r) || std::fabs(r) >= kFrameLimit) return false;
    frame = int64_t(r);
    return true;
}

}  // namespace

VideoLayout videoLayout(const std::vector<std::pair<double, int>>& tracks, double duration) {
    VideoLayout layout;
    int64_t channels = 0;
    for (const auto& [rate, count] : tracks) {
        if (!(std::isfinite(rate) && rate > 0) || count <= 0)
            throw AudioFailure("The video's audio format is not supported by FFmpeg.");
        layout.counts.push_back(count);
        channels += count;
        layout.rate = std::max(layout.rate, rate);
    }
    if (channels > kMaxImportChannels || layout.rate > kMaxImportRate)
        throw AudioFailure("Video import supports up to 128 audio channels and 384 kHz.");
    if (!(std::isfinite(duration) && duration > 0 && duration * layout.rate < kFrameLimit))
        throw AudioFailure("The video has an invalid duration.");
    layout.frames = std::llround(duration * layout.rate);
    return layout;
}

std::pair<int64_t, int64_t> trackFrameRange(double rate, double startSeconds, double endSeconds) {
    int64_t start = 0, end = 0;
    if (!toFrame(rate * startSeconds, start) || !toFrame(rate * endSeconds, end) || start < 0 ||
        start > end)
        throw AudioFailure("The video has an invalid audio track range.");
    return {start, end};
}

PlacedTrack::PlacedTrack(TrackSource& source, const TrackPlan& plan, std::stop_token cancel)
    : source_(source), plan_(plan), cancel_(std::move(cancel)), shifted_(size_t(plan.channels)) {}

bool PlacedTrack::advance() {
    SampleBuffer& buffer = buffer_;
    if (!source_.next(buffer)) {
        throwIfCancelled(cancel_);
        if (!source_.completed()) {
            const std::string error = source_.error();
            if (!error.empty()) throw LibraryError("FFmpeg", error);
            throw AudioFailure("Video audio extraction did not finish.");
        }
        if (written_ == 0) throw AudioFailure("The video's audio track is empty.");
        return false;
    }
    const double rate = plan_.rate;
    if (!buffer.hasFormat || buffer.channels != plan_.channels ||
        !(std::fabs(buffer.sampleRate - rate) <= 0.01))
        throw AudioFailure("The video's audio format changes during playback.");
    int64_t pos = 0;
    if (!toFrame(rate * buffer.presentationTime, pos))
        throw AudioFailure("The video has invalid audio timestamps.");
    const int64_t n = buffer.frames;
    if (double(pos) > double(plan_.trackFrames) + rate || n > 2147483647 || n < 0)
        throw AudioFailure("The video's audio timestamps exceed its duration.");
    // A delayed first buffer or a gap between buffers becomes silence; frames before what is
    // already delivered overlap it and are dropped, and frames past the track's end too.
    target_ = std::max(written_, std::min(std::max(pos, plan_.startFrame), plan_.endFrame));
    usable_ = std::min(std::max(plan_.endFrame - pos, int64_t(0)), n);
    skip_ = std::max(target_ - pos, int64_t(0));
    return true;
}

uint32_t PlacedTrack::pull(float* const* out, uint32_t frames) {
    throwIfCancelled(cancel_);
    uint32_t filled = 0;
    while (filled < frames) {
        if (written_ < target_) {
            const auto n = uint32_t(std::min<int64_t>(frames - filled, target_ - written_));
            for (int c = 0; c < plan_.channels; ++c)
                std::fill_n(out[c] + filled, n, 0.0f);
            written_ += n;
            filled += n;
            continue;
        }
        if (skip_ < usable_) {
            const auto n = uint32_t(std::min<int64_t>(frames - filled, usable_ - skip_));
            for (int c = 0; c < plan_.channels; ++c)
                shifted_[size_t(c)] = out[c] + filled;
            const int status = source_.copy(skip_, n, shifted_.data());
            if (status != 0)
                throw AudioFailure("Could not decode the video's audio samples (" +
                                   std::to_string(status) + ").");
            skip_ += n;
            written_ += n;
            filled += n;
            continue;
        }
        if (ended_) break;
        if (!advance()) {
            ended_ = true;
            break;
        }
    }
    return filled;
}

int64_t convertedLength(int64_t length, double rate, double commonRate) {
    return rate == commonRate ? length : std::llround(commonRate * double(length) / rate);
}

TrackLane::TrackLane(TrackSource& source, const TrackPlan& plan, double commonRate,
                     std::stop_token cancel)
    : placed_(source, plan, std::move(cancel)), channels_(plan.channels) {
    if (plan.rate == commonRate) return;
    converter_ = std::make_unique<RateConverter>(plan.rate, commonRate, plan.channels);
    rate_ = plan.rate;
    commonRate_ = commonRate;
    shifted_.resize(size_t(plan.channels));
    feed_ = [this](AudioBuffer& into, uint32_t requested) {
        const uint32_t n = placed_.pull(into.planes(), requested);
        into.setFrameLength(n);
        return n > 0 ? RateConverter::Input::data : RateConverter::Input::endOfStream;
    };
}

TrackLane::~TrackLane() = default;

uint32_t TrackLane::pull(float* const* out, uint32_t frames) {
    if (ended_ || frames == 0) return 0;
    if (!converter_) {
        const uint32_t n = placed_.pull(out, frames);
        if (n < frames) ended_ = true;
        return n;
    }
    uint32_t filled = 0;
    while (filled < frames && !ended_) {
        for (int c = 0; c < channels_; ++c)
            shifted_[size_t(c)] = out[c] + filled;
        if (converterDone_) {
            // The converter's output was one frame short of the track's length: silence.
            const auto n = uint32_t(std::min<int64_t>(frames - filled, expected_ - produced_));
            for (int c = 0; c < channels_; ++c)
                std::fill_n(shifted_[size_t(c)], n, 0.0f);
            produced_ += n;
            filled += n;
            if (produced_ >= expected_) ended_ = true;
            continue;
        }
        uint32_t got = 0;
        const bool finished = converter_->convert(shifted_.data(), frames - filled, feed_, got);
        // Once the track has ended its converted length is known; the converter's ringing
        // past it is cut.
        if (placed_.ended()) {
            expected_ = convertedLength(placed_.delivered(), rate_, commonRate_);
            got = uint32_t(std::clamp<int64_t>(expected_ - produced_, 0, got));
        }
        produced_ += got;
        filled += got;
        if (finished) {
            const int64_t missing = expected_ - produced_;
            if (missing > 1)
                throw AudioFailure("Sample-rate conversion changed the video's audio duration.");
            converterDone_ = true;
            if (missing <= 0) ended_ = true;
            continue;
        }
        if (got == 0 && !placed_.ended()) throw AudioFailure("Video audio resampling stalled.");
    }
    return filled;
}

void decodeTrack(TrackSource& source, const TrackPlan& plan,
                 const std::filesystem::path& destination, ProgressLimiter* progress,
                 std::stop_token cancel) {
    auto writer = AudioIO::writer(destination, plan.rate, plan.channels, 32);
    PlacedTrack placed(source, plan, cancel);
    AudioBuffer work(plan.channels, kImportBlock);
    for (;;) {
        const uint32_t n = placed.pull(work.planes(), kImportBlock);
        if (n > 0) writer->write(work, 0, n);
        if (progress && progress->due()) {
            const double done = std::min(
                double(placed.delivered()) / double(std::max<int64_t>(plan.trackFrames, 1)), 1.0);
            progress->report((done * 0.6 + plan.index) * 0.8 / plan.trackCount);
        }
        if (n < kImportBlock) break;
    }
    writer->close();
}

}  // namespace corvaline::MediaImport
