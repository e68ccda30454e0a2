#include "audiocore/finishing/DSPStream.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "audiocore/dsp/StreamingDSP.hpp"
#include "audiocore/files/AudioIO.hpp"
#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/model/SettingsFields.hpp"
#include "audiocore/platform/Cancellation.hpp"

namespace corvaline {

namespace {

// Opens a file on the input's timeline (the original or the sidechain), checks that it matches
// the input and covers the range, and positions it at offset + start.
std::unique_ptr<AudioFileReader> openAligned(const OriginalAudioReference& reference,
                                             const DSPStream::Format& format, int64_t start,
                                             int64_t length, const char* failure) {
    auto file = AudioIO::open(reference.source);
    const bool matches = file->sampleRate() == format.sampleRate &&
                         file->channelCount() == format.channelCount && reference.offset >= 0 &&
                         reference.offset <= file->length() - start - length;
    if (!matches) throw AudioFailure(failure);
    file->seek(reference.offset + start);
    return file;
}

}  // namespace

DSPStream::DSPStream(const FinishingInput& input, std::optional<NormalizationPlan> normalization)
    : plan_(std::move(normalization)), parameters_(input.settings) {
    open(input, plan_ ? std::optional<double>(plan_->gainDB) : std::nullopt);
}

DSPStream::DSPStream(const std::filesystem::path& source, std::optional<AudioFrameRange> range,
                     const ProcessingSettings& settings,
                     const std::vector<ChannelSettings>& channels,
                     std::optional<OriginalAudioReference> original,
                     std::optional<OriginalAudioReference> sidechain,
                     std::optional<double> normalizationGainDB)
    : parameters_(settings) {
    open({source, range, settings, channels, std::move(original), std::move(sidechain)},
         normalizationGainDB);
}

void DSPStream::open(const FinishingInput& in, std::optional<double> normalizationGainDB) {
    const ProcessingSettings& settings = in.settings;
    input_ = AudioIO::open(in.source);
    format_ = {input_->sampleRate(), input_->channelCount()};

    int64_t start = 0;
    end_ = input_->length();
    if (in.range) {
        start = in.range->start;
        end_ = in.range->end;
        if (start < 0 || end_ > input_->length() || start >= end_) {
            throw AudioFailure("Invalid playback range.");
        }
    }
    input_->seek(start);
    length_ = remainingInput_ = remainingOutput_ = end_ - start;

    std::vector<ChannelSettings> states(size_t(format_.channelCount));
    for (size_t c = 0; c < states.size(); ++c) {
        if (c < in.channels.size()) states[c] = in.channels[c];
    }
    selected_.resize(states.size());
    for (size_t c = 0; c < states.size(); ++c)
        selected_[c] = states[c].process;

    const double share = settings.originalMix;
    if (!Setting::originalMix.offers(share)) {
        throw AudioFailure("Original mix must be between 0 and 100 percent.");
    }
    mix_ = targetMix_ = float(share / 100);

    if (in.original) {
        original_ = openAligned(*in.original, format_, start, length_,
                                "Original mix requires matching source timelines and channels.");
        dryBuffer_.emplace(format_.channelCount, kMaxBlockFrames);
    }
    if (in.sidechain) {
        bleedInput_ = openAligned(*in.sidechain, format_, start, length_,
                                  "Lav detection requires matching source timelines and channels.");
        bleedBuffer_.emplace(format_.channelCount, kMaxBlockFrames);
    }

    processor_ = std::make_unique<StreamingDSP>(format_.sampleRate, states, settings);
    discard_ = processor_->latency();
    read_.allocate(format_.channelCount, kMaxBlockFrames);
    scratch_.allocate(format_.channelCount, kMaxBlockFrames);

    if (settings.normalizationEnabled && normalizationGainDB) {
        normalizationGain_ = normalizationTarget_ = std::pow(10.0, *normalizationGainDB / 20);
    }
}

DSPStream::~DSPStream() = default;

std::optional<AudioBuffer> DSPStream::next(int64_t capacity, std::stop_token cancel) {
    if (remainingOutput_ < 1) return std::nullopt;
    AudioBuffer block(format_.channelCount,
                      uint32_t(std::clamp<int64_t>(capacity, 1, kMaxBlockFrames)));
    next(block, capacity, cancel);
    return block;
}

bool DSPStream::next(AudioBuffer& into, int64_t capacity, std::stop_token cancel) {
    const auto frames = uint32_t(std::clamp<int64_t>(capacity, 1, kMaxBlockFrames));
    if (into.channelCount() != format_.channelCount || into.capacity() < frames) {
        throw std::invalid_argument("DSPStream: output block has the wrong layout");
    }
    into.setFrameLength(0);
    if (remainingOutput_ < 1) return false;
    into.setFrameLength(fill(into.planes(), frames, cancel));
    return true;
}

void DSPStream::mixOriginal(uint32_t frames) {
    AudioBuffer& dry = *dryBuffer_;
    const int channels = format_.channelCount;
    for (uint32_t i = 0; i < frames; ++i) {
        mixGlide_.advance(mix_, targetMix_, true);
        const double share = mix_;
        for (int j = 0; j < channels; ++j) {
            const float o = dry.channel(j)[i];
            float& c = read_.channel(j)[i];
            if (!std::isfinite(o) || !std::isfinite(c)) {
                throw AudioFailure("Invalid audio in the original/cleaned mix.");
            }
            if (!selected_[size_t(j)] || mix_ == 1) {
                c = o;
            } else if (mix_ != 0) {
                c = float(o * share + c * (1 - share));
            }
        }
    }
}

uint32_t DSPStream::fill(float* const* out, uint32_t capacity, const std::stop_token& cancel) {
    const int channels = format_.channelCount;
    uint32_t produced = 0;
    while (remainingOutput_ > 0) {
        throwIfCancelled(cancel);
        const int64_t want =
            std::min(discard_ + remainingOutput_, int64_t(capacity - produced) + discard_);
        const auto chunk = uint32_t(std::min<int64_t>(want, kMaxBlockFrames));
        const auto n = uint32_t(std::min<int64_t>(remainingInput_, chunk));
        if (n > 0) {
            AudioIO::readExactly(*input_, read_, scratch_, n);
            if (original_) {
                AudioIO::readExactly(*original_, *dryBuffer_, scratch_, n);
                mixOriginal(n);
            }
            if (bleedInput_) AudioIO::readExactly(*bleedInput_, *bleedBuffer_, scratch_, n);
            remainingInput_ -= n;
        }
        if (n < chunk) {
            // The input ended inside this pass: zeros push the lookahead out.
            for (AudioBuffer* block : {&read_, dryBuffer_ ? &*dryBuffer_ : nullptr,
                                       bleedBuffer_ ? &*bleedBuffer_ : nullptr}) {
                if (!block) continue;
                for (int c = 0; c < channels; ++c) {
                    std::fill(block->channel(c) + n, block->channel(c) + chunk, 0.0f);
                }
            }
        }
        read_.setFrameLength(chunk);
        if (dryBuffer_) dryBuffer_->setFrameLength(chunk);
        if (bleedBuffer_) bleedBuffer_->setFrameLength(chunk);
        const AudioBuffer* detector = bleedBuffer_ ? &*bleedBuffer_
                                      : dryBuffer_ ? &*dryBuffer_
                                                   : nullptr;
        processor_->process(read_, detector);

        const auto drop = uint32_t(std::min<int64_t>(chunk, discard_));
        discard_ -= drop;
        const auto take = uint32_t(std::min<int64_t>(remainingOutput_, chunk - drop));
        for (int c = 0; c < channels; ++c) {
            std::copy_n(read_.channel(c) + drop, take, out[c] + produced);
        }
        for (uint32_t i = 0; i < take; ++i) {
            normalizationGlide_.advance(normalizationGain_, normalizationTarget_);
            const double gain = normalizationGain_ * trim_;
            if (gain != 1) {
                const auto g = float(gain);
                for (int c = 0; c < channels; ++c) {
                    if (selected_[size_t(c)]) out[c][produced + i] *= g;
                }
            }
        }
        remainingOutput_ -= take;
        produced += take;
        if (produced >= capacity) break;
    }
    return produced;
}

void DSPStream::update(const ProcessingSettings& settings,
                       const std::vector<ChannelSettings>& channels) {
    bool sameFlags = channels.size() == selected_.size();
    for (size_t c = 0; sameFlags && c < channels.size(); ++c) {
        sameFlags = channels[c].process == selected_[c];
    }
    const bool edited = !(sameFlags && settings == parameters_);
    if (edited) {
        // The measured gain no longer describes what is heard: fade to unity and stay there.
        normalizationSuspended_ = settings.normalizationEnabled;
        normalizationTarget_ = 1;
        normalizationGlide_.start(glideFrames(format_.sampleRate));
    }
    parameters_ = settings;
    processor_->update(settings, channels);
    for (size_t c = 0; c < selected_.size(); ++c) {
        selected_[c] = c < channels.size() ? channels[c].process : true;
    }
    if (!edited) return;
    const double share = Setting::originalMix.guarded(settings) / 100;
    if (float(share) != targetMix_) {
        targetMix_ = float(share);
        mixGlide_.start(glideFrames(format_.sampleRate));
    }
}

}  // namespace corvaline
