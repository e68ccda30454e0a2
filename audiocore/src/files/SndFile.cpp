// libsndfile reader and writer: WAV/BWF, RF64/BW64, AIFF, CAF, FLAC, Ogg and MP3 files,
// decoded to 32-bit float and de-interleaved into AudioBuffer planes.

#include <sndfile.h>

#if defined(__SSE2__)
#include <xmmintrin.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "Readers.hpp"
#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/platform/Errors.hpp"

namespace corvaline::detail {
namespace {

// Frames moved through the interleaved scratch per libsndfile call: about 64K samples,
// whatever the channel count, so memory stays small for wide files.
uint32_t chunkFrames(int channels) {
    return uint32_t(std::max(256, 65536 / std::max(1, channels)));
}

/// Frames [from, from + n) of the buffer's planes, interleaved into `out`.
void interleave(const AudioBuffer& buffer, uint32_t from, uint32_t n, float* out) {
    const int channels = buffer.channelCount();
    const auto stride = size_t(channels);
    int c = 0;
#if defined(__SSE2__)
    // Four channels at a time, four frames at a time: a 4 x 4 transpose per step.
    for (; c + 4 <= channels; c += 4) {
        const float* p0 = buffer.channel(c) + from;
        const float* p1 = buffer.channel(c + 1) + from;
        const float* p2 = buffer.channel(c + 2) + from;
        const float* p3 = buffer.channel(c + 3) + from;
        uint32_t i = 0;
        for (; i + 4 <= n; i += 4) {
            __m128 r0 = _mm_loadu_ps(p0 + i), r1 = _mm_loadu_ps(p1 + i);
            __m128 r2 = _mm_loadu_ps(p2 + i), r3 = _mm_loadu_ps(p3 + i);
            _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
            float* frame = out + size_t(i) * stride + size_t(c);
            _mm_storeu_ps(frame, r0);
            _mm_storeu_ps(frame + stride, r1);
            _mm_storeu_ps(frame + 2 * stride, r2);
            _mm_storeu_ps(frame + 3 * stride, r3);
        }
        for (; i < n; ++i) {
            float* frame = out + size_t(i) * stride + size_t(c);
            frame[0] = p0[i], frame[1] = p1[i], frame[2] = p2[i], frame[3] = p3[i];
        }
    }
#endif
    for (; c < channels; ++c) {
        const float* src = buffer.channel(c) + from;
        for (uint32_t i = 0; i < n; ++i)
            out[size_t(i) * stride + size_t(c)] = src[i];
    }
}

int bitsOfSubtype(int format) {
    switch (format & SF_FORMAT_SUBMASK) {
        case SF_FORMAT_PCM_S8:
        case SF_FORMAT_PCM_U8:
        case SF_FORMAT_ULAW:
        case SF_FORMAT_ALAW:
            return 8;
        case SF_FORMAT_PCM_16:
            return 16;
        case SF_FORMAT_PCM_24:
            return 24;
        case SF_FORMAT_PCM_32:
        case SF_FORMAT_FLOAT:
            return 32;
        case SF_FORMAT_DOUBLE:
            return 64;
        default:
            return 0;  // compressed formats have no stored bit depth
    }
}

/// A read error of a file libsndfile opened, in a user's words with libsndfile's own text on a
/// second line: complete as it stands, like the refusal to open.
AudioFailure readError(const std::filesystem::path& url, SNDFILE* file) {
    return AudioFailure("Could not read " + quotedName(url) +
                        ": the file is damaged or cut short.\n(libsndfile: " + sf_strerror(file) +
                        ")");
}

/// A write error: the system's reason when libsndfile failed in a system call (a full disk,
/// a read-only folder), else libsndfile's text on a second line.
std::exception_ptr writeError(const std::filesystem::path& url, int systemError,
                              const std::string& libraryText) {
    if (systemError != 0) return std::make_exception_ptr(fileError("write", url, systemError));
    return std::make_exception_ptr(AudioFailure("Could not write " + quotedName(url) +
                                                ".\n(libsndfile: " + libraryText + ")"));
}

class SndFileReader final : public AudioFileReader {
  public:
    SndFileReader(SNDFILE* file, const SF_INFO& info, std::filesystem::path url)
        : url_(std::move(url)),
          file_(file),
          info_(info),
          chunk_(chunkFrames(info.channels)),
          interleaved_(size_t(chunk_) * size_t(info.channels)) {}
    ~SndFileReader() override { sf_close(file_); }

    double sampleRate() const override { return double(info_.samplerate); }
    int channelCount() const override { return info_.channels; }
    int64_t length() const override { return int64_t(info_.frames); }
    int fileBitDepth() const override { return bitsOfSubtype(info_.format); }
    int64_t position() const override { return position_; }

    void seek(int64_t frame) override {
        if (frame < 0 || frame > length()) {
            throw std::out_of_range("Read position " + std::to_string(frame) +
                                    " is outside the file (" + std::to_string(length()) +
                                    " frames)");
        }
        if (sf_seek(file_, sf_count_t(frame), SEEK_SET) < 0) throw readError(url_, file_);
        position_ = frame;
    }

    uint32_t read(AudioBuffer& buffer, uint32_t frames) override {
        if (buffer.channelCount() != info_.channels) {
            throw std::invalid_argument("AudioFileReader::read: buffer has " +
                                        std::to_string(buffer.channelCount()) +
                                        " channels, file has " + std::to_string(info_.channels));
        }
        frames = std::min(frames, buffer.capacity());
        const int channels = info_.channels;
        uint32_t done = 0;
        while (done < frames) {
            const uint32_t want = std::min(chunk_, frames - done);
            // Mono needs no de-interleaving: libsndfile reads straight into the plane.
            float* target = channels == 1 ? buffer.channel(0) + done : interleaved_.data();
            const sf_count_t got = sf_readf_float(file_, target, want);
            if (got < 0) throw readError(url_, file_);
            if (channels > 1) {
                const float* src = interleaved_.data();
                for (int c = 0; c < channels; ++c) {
                    float* dst = buffer.channel(c) + done;
                    for (sf_count_t i = 0; i < got; ++i)
                        dst[i] = src[size_t(i) * channels + c];
                }
            }
            done += uint32_t(got);
            if (uint32_t(got) < want) {
                // A short read is the end of the file unless libsndfile recorded an error.
                if (sf_error(file_) != SF_ERR_NO_ERROR) throw readError(url_, file_);
                break;
            }
        }
        position_ += done;
        buffer.setFrameLength(done);
        return done;
    }

  private:
    std::filesystem::path url_;
    SNDFILE* file_;
    SF_INFO info_;
    uint32_t chunk_;
    std::vector<float> interleaved_;
    int64_t position_ = 0;
};

class SndFileWriter final : public AudioFileWriter {
  public:
    SndFileWriter(SNDFILE* file, double rate, int channels, std::filesystem::path url)
        : url_(std::move(url)),
          file_(file),
          rate_(rate),
          channels_(channels),
          chunk_(chunkFrames(channels)),
          interleaved_(size_t(chunk_) * size_t(channels)) {}
    ~SndFileWriter() override {
        if (file_) sf_close(file_);
    }

    double sampleRate() const override { return rate_; }
    int channelCount() const override { return channels_; }
    int64_t framesWritten() const override { return written_; }

    void write(const AudioBuffer& buffer) override { write(buffer, 0, buffer.frameLength()); }

    void write(const AudioBuffer& buffer, uint32_t offset, uint32_t frames) override {
        if (!file_) throw std::logic_error("AudioFileWriter::write after close");
        if (buffer.channelCount() != channels_) {
            throw std::invalid_argument("AudioFileWriter::write: buffer has " +
                                        std::to_string(buffer.channelCount()) +
                                        " channels, file has " + std::to_string(channels_));
        }
        if (uint64_t(offset) + frames > buffer.capacity()) {
            throw std::out_of_range("AudioFileWriter::write: frames beyond the buffer capacity");
        }
        uint32_t done = 0;
        while (done < frames) {
            const uint32_t n = std::min(chunk_, frames - done);
            // Mono needs no interleaving: libsndfile writes straight from the plane.
            const float* source = buffer.channel(0) + offset + done;
            if (channels_ > 1) {
                interleave(buffer, offset + done, n, interleaved_.data());
                source = interleaved_.data();
            }
            errno = 0;
            const sf_count_t put = sf_writef_float(file_, source, n);
            // A short write is a full disk or an I/O error; never let it pass silently.
            if (put != sf_count_t(n)) {
                const int systemError = errno != 0 ? errno : ENOSPC;
                std::rethrow_exception(writeError(url_, systemError, sf_strerror(file_)));
            }
            done += n;
            written_ += n;
        }
    }

    // No fsync here: most files written are working files that die with the session, and
    // syncing each one would wait for the disk every time. What is handed to the user goes
    // through WorkingFile::commit, which syncs the finished file before naming it.
    void close() override {
        if (!file_) return;
        SNDFILE* file = file_;
        file_ = nullptr;
        errno = 0;
        const int error = sf_close(file);
        if (error != 0) std::rethrow_exception(writeError(url_, errno, sf_error_number(error)));
    }

  private:
    std::filesystem::path url_;
    SNDFILE* file_;
    double rate_;
    int channels_;
    uint32_t chunk_;
    std::vector<float> interleaved_;
    int64_t written_ = 0;
};

}  // namespace

std::unique_ptr<AudioFileReader> openSndFile(const std::filesystem::path& url, std::string& error) {
    SF_INFO info;
    std::memset(&info, 0, sizeof info);
    SNDFILE* file = sf_open(url.c_str(), SFM_READ, &info);
    if (!file) {
        error = sf_strerror(nullptr);
        return nullptr;
    }
    if (info.channels < 1 || info.samplerate < 1) {
        sf_close(file);
        error = "The file has no valid audio format.";
        return nullptr;
    }
    if (info.frames < 0 || info.frames == SF_COUNT_MAX) {
        // libsndfile could not tell the length (a damaged or streamed file): count what can
        // actually be decoded, then start again from the beginning.
        std::vector<float> scratch(size_t(chunkFrames(info.channels)) * size_t(info.channels));
        sf_count_t total = 0;
        for (;;) {
            const sf_count_t got = sf_readf_float(file, scratch.data(), chunkFrames(info.channels));
            if (got <= 0) break;
            total += got;
        }
        sf_close(file);
        const sf_count_t counted = total;
        std::memset(&info, 0, sizeof info);
        file = sf_open(url.c_str(), SFM_READ, &info);
        if (!file) {
            error = sf_strerror(nullptr);
            return nullptr;
        }
        info.frames = counted;
    }
    // Integer files read as float are normalised to +-1.0 (libsndfile's default); float files
    // keep their values, including those above full scale.
    sf_command(file, SFC_SET_NORM_FLOAT, nullptr, SF_TRUE);
    return std::make_unique<SndFileReader>(file, info, url);
}

std::unique_ptr<AudioFileWriter> createSndFileWriter(const std::filesystem::path& url, double rate,
                                                     int channels, int bits, bool caf) {
    if (bits != 32 && bits != 24) {
        throw std::invalid_argument("AudioIO::writer: bits must be 32 or 24, not " +
                                    std::to_string(bits));
    }
    if (channels < 1 || channels > 1024) {
        throw std::invalid_argument("AudioIO::writer: invalid channel count " +
                                    std::to_string(channels));
    }
    if (!(rate >= 1.0 && rate <= 2147483647.0)) {
        throw std::invalid_argument("AudioIO::writer: invalid sample rate");
    }
    SF_INFO info;
    std::memset(&info, 0, sizeof info);
    info.samplerate = int(rate + 0.5);
    info.channels = channels;
    // WAV destinations are written as RF64 that libsndfile downgrades to a plain RIFF WAVE
    // when the file closes below 4 GB: long multichannel renders then get a valid 64-bit
    // header instead of a wrapped 32-bit size.
    info.format = (caf ? SF_FORMAT_CAF : SF_FORMAT_RF64) |
                  (bits == 32 ? SF_FORMAT_FLOAT : SF_FORMAT_PCM_24) | SF_ENDIAN_LITTLE;
    errno = 0;
    SNDFILE* file = sf_open(url.c_str(), SFM_WRITE, &info);
    if (!file) std::rethrow_exception(writeError(url, errno, sf_strerror(nullptr)));
    if (!caf) sf_command(file, SFC_RF64_AUTO_DOWNGRADE, nullptr, SF_TRUE);
    // CAF is the engine's working format: nothing reads a PEAK chunk there, and keeping one
    // costs a pass over every sample written.
    if (caf) sf_command(file, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
    // Float samples beyond +-1.0 saturate at the integer limits instead of wrapping around.
    sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    return std::make_unique<SndFileWriter>(file, rate, channels, url);
}

}  // namespace corvaline::detail
