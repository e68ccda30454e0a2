#include "audiocore/restoration/SidonTimeline.hpp"

#include <algorithm>
#include <cmath>

#include "audiocore/files/AudioIO.hpp"
#include "audiocore/import/RateConverter.hpp"
#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/platform/Cancellation.hpp"

namespace corvaline::SidonTimeline {

namespace {

int64_t roundFrames(double value) {
    return int64_t(std::llround(value));
}

}  // namespace

Timing timing(double rate, SidonQuality quality) {
    const bool careful = quality == SidonQuality::careful;
    Timing t;
    t.window = roundFrames(10.0 * rate);
    t.stride = roundFrames((careful ? 4.0 : 8.0) * rate);
    t.context = roundFrames((careful ? 2.0 : 1.0) * rate);
    t.firstContext = careful ? roundFrames(0.02 * rate) : t.context;
    t.crossfade = std::max<int64_t>(1, roundFrames(0.04 * rate));
    t.keptOutput = careful ? 193920 : 385920;
    return t;
}

std::vector<float> resample(const std::vector<float>& samples, double from, double to,
                            int64_t expected, std::stop_token cancel) {
    if (from == to) {
        if (int64_t(samples.size()) != expected) throw AudioFailure("Unexpected audio duration.");
        return samples;
    }
    if (!(from > 0) || !(to > 0) || !std::isfinite(from) || !std::isfinite(to) || expected < 0) {
        throw AudioFailure("Cannot convert this sample rate for Sidon.");
    }
    RateConverter converter(
        from, to, 1, 32768,
        {"Cannot convert this sample rate for Sidon.", "Sidon audio conversion failed."});

    // Feed the whole input, then end the stream; collect chunks until the converter has
    // nothing more to give.
    const size_t chunk = size_t(expected) + 4096;
    std::vector<float> output;
    output.reserve(chunk);
    size_t fed = 0;
    bool ended = false;
    for (;;) {
        throwIfCancelled(cancel);
        const bool feeding = fed < samples.size();
        const float* input = feeding ? samples.data() + fed : nullptr;
        const size_t inputLength = feeding ? samples.size() - fed : 0;
        const size_t before = output.size();
        output.resize(before + chunk);
        float* out = output.data() + before;
        size_t consumed = 0;
        size_t produced = 0;
        converter.process(feeding ? &input : nullptr, inputLength, &out, chunk, consumed, produced);
        output.resize(before + produced);
        fed += consumed;
        if (!feeding) {
            if (produced == 0) break;  // end of stream, all output delivered
            ended = true;
        } else if (consumed == 0 && produced == 0) {
            throw AudioFailure("Sidon audio converter stalled.");
        }
        // A converter that keeps producing long after the input is exhausted is broken; the
        // length check below reports it.
        if (ended && output.size() > size_t(expected) + 2 * chunk) break;
    }

    const int64_t length = int64_t(output.size());
    if (std::llabs(length - expected) > 1) {
        throw AudioFailure("Sidon sample-rate conversion changed the audio duration.");
    }
    if (length + 1 == expected) output.push_back(output.empty() ? 0.0f : output.back());
    output.resize(size_t(expected));
    return output;
}

void renderContext(const std::filesystem::path& source, const std::filesystem::path& destination,
                   SidonQuality quality, const Transform& transform,
                   const ProgressCallback& progress, std::stop_token cancel) {
    auto reader = AudioIO::open(source);
    const double rate = reader->sampleRate();
    const int64_t length = reader->length();
    if (reader->channelCount() != 1 || length < 1) {
        throw AudioFailure("Sidon requires a nonempty mono channel.");
    }
    const Timing t = timing(rate, quality);
    if (t.window < 1 || t.stride < 1 || t.window > int64_t(UINT32_MAX)) {
        throw AudioFailure("Cannot convert this sample rate for Sidon.");
    }
    auto writer = AudioIO::writer(destination, rate, 1, 32);
    ProgressLimiter limiter(progress);

    // One window of source audio, the reader's buffers and the output block: allocated once.
    std::vector<float> window(size_t(t.window));
    AudioBuffer target(1, uint32_t(t.window));
    AudioBuffer scratch(1, uint32_t(t.window));
    AudioBuffer block(1, uint32_t(t.stride));
    std::vector<float> tail;

    int64_t body = 0;  // H
    while (body < length) {
        throwIfCancelled(cancel);
        const int64_t context = body == 0 ? t.firstContext : t.context;
        const int64_t start = body - context;

        // Frames outside the file stay zero.
        std::fill(window.begin(), window.end(), 0.0f);
        const int64_t first = std::max<int64_t>(start, 0);
        const int64_t last = std::min(start + t.window, length);
        if (last > first) {
            reader->seek(first);
            AudioIO::readExactly(*reader, target, scratch, uint32_t(last - first));
            std::copy_n(target.channel(0), last - first, window.begin() + (first - start));
        }

        std::vector<float> restored;
        {
            const auto input = resample(window, rate, 16000.0, windowSamples16k, cancel);
            restored = transform(input, start, body, rate);
        }
        const int64_t offset = roundFrames(double(context) / rate * outputRate);
        const bool complete = int64_t(restored.size()) >= offset + t.keptOutput;
        if (!complete || !std::all_of(restored.begin(), restored.end(),
                                      [](float v) { return std::isfinite(v); })) {
            throw AudioFailure("Sidon returned a shortened or invalid context window.");
        }
        restored.erase(restored.begin() + offset + t.keptOutput, restored.end());
        restored.erase(restored.begin(), restored.begin() + offset);
        std::vector<float> output =
            resample(restored, outputRate, rate, t.stride + t.crossfade, cancel);
        restored = {};

        // The previous window's tail covers the same frames as this body's first C samples.
        if (!tail.empty()) {
            const float denominator = float(t.crossfade + 1);
            for (int64_t i = 0; i < t.crossfade; ++i) {
                const float g = float(i + 1) / denominator;
                output[size_t(i)] = float((1.0 - double(g)) * double(tail[size_t(i)]) +
                                          double(g) * double(output[size_t(i)]));
            }
        }
        tail.assign(output.begin() + t.stride, output.begin() + t.stride + t.crossfade);

        const int64_t frames = std::min(length - body, t.stride);
        std::copy_n(output.begin(), frames, block.channel(0));
        block.setFrameLength(uint32_t(frames));
        writer->write(block, 0, uint32_t(frames));
        body += frames;
        limiter.report(double(body) / double(length));
    }
    writer->close();
    limiter.force(1.0);
}

}  // namespace corvaline::SidonTimeline
