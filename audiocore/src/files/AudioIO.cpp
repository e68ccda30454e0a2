// AudioIO: opening, analysing, exact reads, writers, range extraction and the demo recording.

#include "audiocore/files/AudioIO.hpp"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <optional>
#include <string>
#include <system_error>

#include "Readers.hpp"
#include "WaveLayout.hpp"
#include "audiocore/files/AudioAnalysis.hpp"
#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/platform/Cancellation.hpp"
#include "audiocore/platform/Errors.hpp"
#include "audiocore/platform/FileDescriptor.hpp"
#include "audiocore/platform/WorkingFile.hpp"

namespace fs = std::filesystem;

namespace corvaline::AudioIO {

namespace {

bool hasExtension(const fs::path& url, const char* lowercase) {
    std::string ext = url.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char ch) { return char(std::tolower(ch)); });
    return ext == lowercase;
}

/// A reader whose sample rate the engine can work with (positive and finite); analysis checks
/// the channel count with its own message.
std::unique_ptr<AudioFileReader> checked(const fs::path& url,
                                         std::unique_ptr<AudioFileReader> reader) {
    const double rate = reader->sampleRate();
    if (!(rate >= 1.0 && rate <= 2147483647.0)) {
        throw AudioFailure("Could not open " + quotedName(url) + ": its sample rate is not valid.");
    }
    return reader;
}

/// A duration as a recordist reads it: "0:41.3", "1:00.0", "1:02:03.4". Tenths are rounded
/// down, or up when `roundUp`, so that a shorter length never reads as long as a longer one.
std::string durationText(int64_t frames, double rate, bool roundUp) {
    const double exact = double(std::max<int64_t>(frames, 0)) * 10.0 / rate;
    const auto tenths = static_cast<long long>(roundUp ? std::ceil(exact) : std::floor(exact));
    const long long seconds = tenths / 10;
    char text[48];
    if (seconds >= 3600) {
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld.%lld", seconds / 3600,
                      seconds / 60 % 60, seconds % 60, tenths % 10);
    } else {
        std::snprintf(text, sizeof text, "%lld:%02lld.%lld", seconds / 60, seconds % 60,
                      tenths % 10);
    }
    return text;
}

/// The frames a WAV/BWF, RF64 or AIFF header promises, from the WAV walk's `layout` when the
/// file is a WAV, else from the AIFF header. Nothing when the header cannot be read.
std::optional<uint64_t> declaredFrames(const fs::path& url, const detail::WaveLayout& layout) {
    if (auto frames = layout.declaredFrames()) return frames;
    if (layout.formatTag != 0) return std::nullopt;  // a WAV of another sample format
    try {
        return detail::readAiffDeclaredFrames(url);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

/// A recorder that stopped mid-take (a crash, a flat battery) leaves a header that promises
/// more audio than the file holds. The part that is there is the recordist's only copy, so it
/// is read, but the user is told the file is damaged and how much of it is present.
std::optional<std::string> truncationWarning(const fs::path& url, const detail::WaveLayout& layout,
                                             int64_t present, double rate) {
    const auto promised = declaredFrames(url, layout);
    if (!promised || *promised <= uint64_t(std::max<int64_t>(present, 0))) return std::nullopt;
    const auto promisedFrames = int64_t(std::min<uint64_t>(*promised, INT64_MAX / 16));
    // Less than a tenth of a second would read "only 0:00.0", as if nothing were there.
    const bool sliver = present * 10 < int64_t(rate);
    return quotedName(url) + " is damaged: its header promises " +
           durationText(promisedFrames, rate, true) + " but " +
           (sliver ? "less than 0:00.1" : "only " + durationText(present, rate, false)) +
           " is present; Corvaline imports the part that is present.";
}

detail::WaveLayout layoutOf(const fs::path& url, WaveMetadata* metadata) {
    detail::WaveLayout layout;
    try {
        WaveMetadata read = detail::readWave(url, &layout);
        if (metadata) *metadata = std::move(read);
    } catch (const std::exception&) {
        return {};  // an unreadable header gives neither metadata nor warnings
    }
    return layout;
}

/// A library's text on one line.
std::string oneLine(std::string text) {
    std::replace_if(
        text.begin(), text.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    return text;
}

}  // namespace

std::unique_ptr<AudioFileReader> open(const fs::path& url) {
    std::error_code ec;
    const auto status = fs::status(url, ec);
    if (ec || !fs::exists(status)) throw fileError("open", url, ec ? ec.value() : ENOENT);
    if (fs::is_directory(status)) throw fileError("open", url, EISDIR);
    if (!fs::is_regular_file(status)) throw fileError("open", url, ESPIPE);
    // The system's reason (permission, I/O) in plain words before a library words it its way.
    FileDescriptor::open(url, O_RDONLY).close();
    std::string sndfileError;
    if (auto reader = detail::openSndFile(url, sndfileError))
        return checked(url, std::move(reader));
    std::string ffmpegError;
    if (auto reader = detail::openFFmpeg(url, ffmpegError)) return checked(url, std::move(reader));
    // Neither library reads it: a refusal in the user's words (never a library's error, which
    // would be shown as that library's failure); the primary reader's reason follows.
    throw AudioFailure("Could not open " + quotedName(url) +
                       ": it is not an audio file Corvaline can read, or it is "
                       "damaged.\n(libsndfile: " +
                       oneLine(sndfileError) + ")");
}

AudioInfo analyze(const fs::path& url, std::stop_token cancel) {
    auto file = open(url);
    const int channels = file->channelCount();
    const int64_t length = file->length();
    // Unreadable metadata never blocks an import: it stays empty.
    WaveMetadata metadata;
    const detail::WaveLayout layout = layoutOf(url, &metadata);
    if (length < 1 && channels >= 1 && channels <= kMaxChannels) {
        // Nothing to import from a file cut short before its first frame: say so by name.
        const auto promised = declaredFrames(url, layout);
        if (promised && *promised > 0) {
            throw AudioFailure(quotedName(url) + " is damaged: its header promises " +
                               durationText(int64_t(std::min<uint64_t>(*promised, INT64_MAX / 16)),
                                            file->sampleRate(), true) +
                               " but no audio is present.");
        }
    }
    if (length < 1 || channels < 1 || channels > kMaxChannels) {
        throw AudioFailure("The file is empty or has more than 128 channels.");
    }

    AudioAnalysis analysis(channels, length);
    AudioBuffer block(channels, kBlockFrames);
    for (;;) {
        throwIfCancelled(cancel);
        const uint32_t got = file->read(block, kBlockFrames);
        if (got == 0) break;
        analysis.add(block.planes(),
                     uint32_t(std::min<int64_t>(got, length - analysis.position())));
    }
    std::vector<ChannelInfo> infos = analysis.channels(metadata.channelNames);
    AudioInfo result(url, file->sampleRate(), length, file->fileBitDepth(), std::move(infos),
                     std::move(metadata));
    if (auto warning = truncationWarning(url, layout, length, file->sampleRate())) {
        result.warnings.push_back(std::move(*warning));
    }
    return result;
}

std::vector<std::string> warnings(const fs::path& url, const AudioFileReader& file) {
    std::vector<std::string> found;
    if (auto warning =
            truncationWarning(url, layoutOf(url, nullptr), file.length(), file.sampleRate())) {
        found.push_back(std::move(*warning));
    }
    return found;
}

void readExactly(AudioFileReader& file, AudioBuffer& target, AudioBuffer& scratch,
                 uint32_t frames) {
    const int channels = target.channelCount();
    if (channels != file.channelCount() || scratch.channelCount() != channels ||
        target.capacity() < frames || scratch.capacity() < frames) {
        throw std::invalid_argument(
            "AudioIO::readExactly: buffers must match the file's channels and hold the frames");
    }
    uint32_t filled = 0;
    while (filled < frames) {
        const uint32_t got = file.read(scratch, frames - filled);
        if (got == 0) break;
        for (int c = 0; c < channels; ++c) {
            std::copy_n(scratch.channel(c), got, target.channel(c) + filled);
        }
        filled += got;
    }
    if (filled < frames) throw AudioFailure("Audio ended before its declared frame count.");
    target.setFrameLength(filled);
}

std::unique_ptr<AudioFileWriter> writer(const fs::path& url, double rate, int channels, int bits) {
    return detail::createSndFileWriter(url, rate, channels, bits, hasExtension(url, ".caf"));
}

void extract(const fs::path& source, const fs::path& destination, AudioFrameRange range,
             std::stop_token cancel) {
    if (range.start < 0 || range.start >= range.end) {
        throw AudioFailure("Choose a non-empty audio range.");
    }
    auto file = open(source);
    if (file->length() < range.end) {
        throw AudioFailure("The preview range extends beyond the recording.");
    }
    file->seek(range.start);
    auto out = writer(destination, file->sampleRate(), file->channelCount(), 32);
    AudioBuffer work(file->channelCount(), kBlockFrames);
    AudioBuffer scratch(file->channelCount(), kBlockFrames);
    int64_t position = range.start;
    while (position < range.end) {
        throwIfCancelled(cancel);
        const auto n = uint32_t(std::min<int64_t>(range.end - position, kBlockFrames));
        readExactly(*file, work, scratch, n);
        out->write(work);
        position += n;
    }
    out->close();
}

void demo(const fs::path& url) {
    constexpr int kChannels = 4;
    constexpr uint32_t kFrames = 4800;
    constexpr int kBlocks = 120;
    constexpr double kRate = 48000.0;
    // Written beside the destination and named into place only when whole: a crash never
    // leaves half a recording under the name, nor destroys a file already there.
    checkDestination(url);
    WorkingFile pending = WorkingFile::beside(url, "corvaline");
    auto out = detail::createSndFileWriter(pending.path(), kRate, kChannels, 32,
                                           hasExtension(url, ".caf"));
    AudioBuffer block(kChannels, kFrames);
    // 64-bit linear congruential generator; wraps modulo 2^64 by unsigned arithmetic.
    uint64_t r = 42;
    for (int b = 0; b < kBlocks; ++b) {
        for (int c = 0; c < kChannels; ++c) {
            float* samples = block.channel(c);
            for (uint32_t i = 0; i < kFrames; ++i) {
                r = r * 6364136223846793005ULL + 1ULL;
                const int64_t n = int64_t(b) * kFrames + i;
                const double t = double(n) / kRate;
                const double w = 2.0 * std::numbers::pi * t;
                const double tone = std::sin(double(83 * c + 130) * w) + 0.25 * std::sin(880.0 * w);
                const double e = std::max(0.0, std::sin(0.5 * double(c) + 2.4 * t));
                const double envelope = e * e;
                const float noise = float(double(r >> 33) / 4294967295.0 - 0.25) * 0.07f;
                samples[i] = noise + float(0.25 * tone * envelope);
            }
        }
        block.setFrameLength(kFrames);
        out->write(block);
    }
    out->close();
    pending.commit(url);
}

}  // namespace corvaline::AudioIO
