#include "RestorationTestSupport.hpp"

#include "audiocore/model/AudioFailure.hpp"

#include <cmath>
#include <stdexcept>

#include "audiocore/files/AudioIO.hpp"

namespace corvaline::test {

void writeMono(const std::filesystem::path& path, double rate, const std::vector<float>& samples) {
    auto writer = AudioIO::writer(path, rate, 1, 32);
    AudioBuffer block(1, 65536);
    for (size_t done = 0; done < samples.size();) {
        const size_t n = std::min<size_t>(65536, samples.size() - done);
        std::copy_n(samples.begin() + long(done), n, block.channel(0));
        block.setFrameLength(uint32_t(n));
        writer->write(block);
        done += n;
    }
    writer->close();
}

void writeTone(const std::filesystem::path& path, double rate, int channels, int64_t frames) {
    auto writer = AudioIO::writer(path, rate, channels, 32);
    AudioBuffer block(channels, uint32_t(frames));
    for (int c = 0; c < channels; ++c) {
        for (int64_t n = 0; n < frames; ++n) {
            block.channel(c)[n] = float(0.1 * std::sin(0.01 * double(n)));
        }
    }
    block.setFrameLength(uint32_t(frames));
    if (frames > 0) writer->write(block);
    writer->close();
}

std::vector<float> readMono(const std::filesystem::path& path, double* rate) {
    auto reader = AudioIO::open(path);
    if (reader->channelCount() != 1) throw std::runtime_error("not mono");
    if (rate) *rate = reader->sampleRate();
    std::vector<float> samples;
    AudioBuffer block(1, 65536);
    while (reader->read(block, 65536) > 0) {
        samples.insert(samples.end(), block.channel(0), block.channel(0) + block.frameLength());
    }
    return samples;
}

std::string failureOf(const std::function<void()>& work) {
    try {
        work();
    } catch (const AudioFailure& failure) {
        return failure.what();
    }
    return "(no failure)";
}

}  // namespace corvaline::test
