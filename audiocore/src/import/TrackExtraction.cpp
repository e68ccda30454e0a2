#include "audiocore/import/TrackExtraction.hpp"

#include <soxr.h>

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
            throw AudioFailure("The video's audio format is not supported by macOS.");
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

void decodeTrack(TrackSource& source, const TrackPlan& plan,
                 const std::filesystem::path& destination, ProgressLimiter* progress,
                 std::stop_token cancel) {
    auto writer = AudioIO::writer(destination, plan.rate, plan.channels, 32);
    AudioBuffer work(plan.channels, kImportBlock);
    AudioBuffer silence(plan.channels, kImportBlock);
    int64_t written = 0;
    const double rate = plan.rate;
    SampleBuffer buffer;

    auto reportProgress = [&] {
        if (!progress || !progress->due()) return;
        const double done =
            std::min(double(written) / double(std::max<int64_t>(plan.trackFrames, 1)), 1.0);
        progress->report((done * 0.6 + plan.index) * 0.8 / plan.trackCount);
    };

    while (source.next(buffer)) {
        if (!buffer.hasFormat || buffer.channels != plan.channels ||
            !(std::fabs(buffer.sampleRate - rate) <= 0.01))
            throw AudioFailure("The video's audio format changes during playback.");
        int64_t pos = 0;
        if (!toFrame(rate * buffer.presentationTime, pos))
            throw AudioFailure("The video has invalid audio timestamps.");
        const int64_t n = buffer.frames;
        if (double(pos) > double(plan.trackFrames) + rate || n > 2147483647 || n < 0)
            throw AudioFailure("The video's audio timestamps exceed its duration.");

        // A delayed first buffer or a gap between buffers becomes silence.
        const int64_t target = std::min(std::max(pos, plan.startFrame), plan.endFrame);
        while (written < target) {
            throwIfCancelled(cancel);
            const auto count = uint32_t(std::min<int64_t>(target - written, kImportBlock));
            writer->write(silence, 0, count);
            written += count;
        }

        // Frames before what is already written overlap it and are dropped; frames past the
        // track's end are dropped too.
        const int64_t usable = std::min(std::max(plan.endFrame - pos, int64_t(0)), n);
        int64_t skip = std::max(written - pos, int64_t(0));
        while (skip < usable) {
            throwIfCancelled(cancel);
            const auto count = uint32_t(std::min<int64_t>(usable - skip, kImportBlock));
            const int status = source.copy(skip, count, work);
            if (status != 0)
                throw AudioFailure("Could not decode the video's audio samples (" +
                                   std::to_string(status) + ").");
            writer->write(work, 0, count);
            written += count;
            skip += count;
        }
        reportProgress();
    }

    throwIfCancelled(cancel);
    if (!source.completed()) {
        const std::string error = source.error();
        if (!error.empty()) throw LibraryError("FFmpeg", error);
        throw AudioFailure("Video audio extraction did not finish.");
    }
    if (written == 0) throw AudioFailure("The video's audio track is empty.");
    writer->close();
}

struct RateConverter::State {
    soxr_t soxr = nullptr;
    int channels = 0;
    uint32_t inputBlock = kImportBlock;
    AudioBuffer input;
    uint32_t inputPos = 0;
    bool inputEnded = false;
    bool finished = false;
    std::vector<const float*> in;
    std::vector<float*> out;
    ~State() {
        if (soxr) soxr_delete(soxr);
    }
};

RateConverter::RateConverter(double inputRate, double outputRate, int channels, uint32_t inputBlock)
    : state_(std::make_unique<State>()) {
    if (!(std::isfinite(inputRate) && inputRate > 0 && std::isfinite(outputRate) &&
          outputRate > 0 && channels >= 1 && channels <= kMaxChannels && inputBlock >= 1 &&
          inputBlock <= kImportBlock))
        throw AudioFailure("Could not align the video's audio sample rates.");
    soxr_error_t error = nullptr;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_S, SOXR_FLOAT32_S);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_VHQ, 0);
    state_->soxr =
        soxr_create(inputRate, outputRate, unsigned(channels), &error, &io, &quality, nullptr);
    if (error || !state_->soxr)
        throw AudioFailure("Could not align the video's audio sample rates.");
    state_->channels = channels;
    state_->inputBlock = inputBlock;
    state_->input.allocate(channels, kImportBlock);
    state_->in.resize(size_t(channels));
    state_->out.resize(size_t(channels));
}

RateConverter::~RateConverter() = default;

bool RateConverter::convert(AudioBuffer& out, uint32_t maxFrames, const Pull& pull) {
    State& s = *state_;
    maxFrames = std::min(maxFrames, out.capacity());
    uint32_t produced = 0;
    while (produced < maxFrames && !s.finished) {
        if (s.inputPos >= s.input.frameLength() && !s.inputEnded) {
            s.input.setFrameLength(0);
            s.inputPos = 0;
            const Input state = pull(s.input, s.inputBlock);
            if (state == Input::noData) break;
            if (state == Input::endOfStream) {
                s.input.setFrameLength(0);
                s.inputEnded = true;
            } else if (s.input.frameLength() > s.inputBlock) {
                throw AudioFailure("Video audio resampling failed.");
            } else if (s.input.frameLength() == 0) {
                break;  // data without frames: nothing now
            }
        }
        const size_t available = s.input.frameLength() - s.inputPos;
        for (int c = 0; c < s.channels; ++c) {
            s.in[size_t(c)] = s.input.channel(c) + s.inputPos;
            s.out[size_t(c)] = out.channel(c) + produced;
        }
        size_t used = 0, done = 0;
        const soxr_error_t error =
            soxr_process(s.soxr, s.inputEnded ? nullptr : s.in.data(), s.inputEnded ? 0 : available,
                         &used, s.out.data(), maxFrames - produced, &done);
        if (error) throw AudioFailure("Video audio resampling failed.");
        s.inputPos += uint32_t(used);
        produced += uint32_t(done);
        if (s.inputEnded && done == 0) s.finished = true;
        if (!s.inputEnded && used == 0 && done == 0) break;
    }
    out.setFrameLength(produced);
    return s.finished;
}

void resampleInto(RateConverter& converter, const RateConverter::Pull& pull,
                  AudioFileWriter& writer, int64_t expected,
                  const std::function<void(double)>& progress, std::stop_token cancel) {
    if (expected <= 0) return;
    AudioBuffer out(writer.channelCount(), kImportBlock);
    int64_t done = 0;
    int64_t surplus = 0;
    for (;;) {
        throwIfCancelled(cancel);
        const bool ended = converter.convert(out, kImportBlock, pull);
        const uint32_t produced = out.frameLength();
        // Input that keeps coming long after the expected length is not this track's length.
        surplus += produced - std::min<int64_t>(expected - done, produced);
        if (surplus > 2 * int64_t(kImportBlock))
            throw AudioFailure("Sample-rate conversion changed the video's audio duration.");
        const auto keep = uint32_t(std::min<int64_t>(expected - done, produced));
        if (keep > 0) writer.write(out, 0, keep);
        done += keep;
        if (progress) progress(double(done) / double(expected));
        if (ended) break;
        if (produced == 0) throw AudioFailure("Video audio resampling stalled.");
    }
    const int64_t missing = expected - done;
    if (missing == 1) {
        AudioBuffer silence(writer.channelCount(), 1);
        silence.setFrameLength(1);
        writer.write(silence);
    } else if (missing > 1) {
        throw AudioFailure("Sample-rate conversion changed the video's audio duration.");
    }
}

void alignTrack(const std::filesystem::path& source, const std::filesystem::path& destination,
                double rate, int index, int trackCount, ProgressLimiter* progress,
                std::stop_token cancel) {
    auto reader = AudioIO::open(source);
    const double sourceRate = reader->sampleRate();
    const int channels = reader->channelCount();
    const int64_t length = reader->length();
    auto writer = AudioIO::writer(destination, rate, channels, 32);
    RateConverter converter(sourceRate, rate, channels);
    const int64_t expected = std::llround(rate * double(length) / sourceRate);
    int64_t consumed = 0;
    const RateConverter::Pull pull = [&](AudioBuffer& into, uint32_t requested) {
        throwIfCancelled(cancel);
        const int64_t remaining = length - consumed;
        if (remaining <= 0) return RateConverter::Input::endOfStream;
        const auto count = uint32_t(std::min<int64_t>({requested, kImportBlock, remaining}));
        const uint32_t got = reader->read(into, count);
        if (got == 0) return RateConverter::Input::endOfStream;
        consumed += got;
        return RateConverter::Input::data;
    };
    resampleInto(
        converter, pull, *writer, expected,
        [&](double fraction) {
            if (progress && progress->due())
                progress->report((index + 0.6 + 0.4 * fraction) * 0.8 / trackCount);
        },
        cancel);
    writer->close();
}

}  // namespace corvaline::MediaImport
