#include "audiocore/import/RateConverter.hpp"

#include <soxr.h>

#include <cmath>
#include <vector>

#include "audiocore/model/AudioFailure.hpp"

namespace corvaline {

namespace {
constexpr uint32_t kMaxInputBlock = 32768;
}

RateConverter::Messages RateConverter::videoMessages() {
    return {"Could not align the video's audio sample rates.", "Video audio resampling failed."};
}

struct RateConverter::State {
    soxr_t soxr = nullptr;
    Messages messages;
    int channels = 0;
    uint32_t inputBlock = kMaxInputBlock;
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

RateConverter::RateConverter(double inputRate, double outputRate, int channels, uint32_t inputBlock,
                             Messages messages)
    : state_(std::make_unique<State>()) {
    state_->messages = std::move(messages);
    if (!(std::isfinite(inputRate) && inputRate > 0 && std::isfinite(outputRate) &&
          outputRate > 0 && channels >= 1 && channels <= kMaxChannels && inputBlock >= 1 &&
          inputBlock <= kMaxInputBlock))
        throw AudioFailure(state_->messages.create);
    soxr_error_t error = nullptr;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_S, SOXR_FLOAT32_S);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_VHQ, 0);
    state_->soxr =
        soxr_create(inputRate, outputRate, unsigned(channels), &error, &io, &quality, nullptr);
    if (error || !state_->soxr) throw AudioFailure(state_->messages.create);
    state_->channels = channels;
    state_->inputBlock = inputBlock;
    state_->in.resize(size_t(channels));
    state_->out.resize(size_t(channels));
}

RateConverter::~RateConverter() = default;

void RateConverter::process(const float* const* in, size_t frames, float* const* out,
                            size_t capacity, size_t& used, size_t& produced) {
    used = 0;
    produced = 0;
    const soxr_error_t error = soxr_process(state_->soxr, in, in ? frames : 0, &used,
                                            const_cast<float**>(out), capacity, &produced);
    if (error) throw AudioFailure(state_->messages.failed);
}

bool RateConverter::convert(AudioBuffer& out, uint32_t maxFrames, const Pull& pull) {
    uint32_t produced = 0;
    const bool ended = convert(out.planes(), std::min(maxFrames, out.capacity()), pull, produced);
    out.setFrameLength(produced);
    return ended;
}

bool RateConverter::convert(float* const* out, uint32_t maxFrames, const Pull& pull,
                            uint32_t& produced) {
    State& s = *state_;
    if (s.input.channelCount() == 0) s.input.allocate(s.channels, kMaxInputBlock);
    produced = 0;
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
                throw AudioFailure(s.messages.failed);
            } else if (s.input.frameLength() == 0) {
                break;  // data without frames: nothing now
            }
        }
        const size_t available = s.input.frameLength() - s.inputPos;
        for (int c = 0; c < s.channels; ++c) {
            s.in[size_t(c)] = s.input.channel(c) + s.inputPos;
            s.out[size_t(c)] = out[c] + produced;
        }
        size_t used = 0, done = 0;
        process(s.inputEnded ? nullptr : s.in.data(), available, s.out.data(), maxFrames - produced,
                used, done);
        s.inputPos += uint32_t(used);
        produced += uint32_t(done);
        if (s.inputEnded && done == 0) s.finished = true;
        if (!s.inputEnded && used == 0 && done == 0) break;
    }
    return s.finished;
}

}  // namespace corvaline
