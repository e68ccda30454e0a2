// FFmpeg reader for the files libsndfile cannot open (AAC/M4A, ALAC, Opus, WMA, ...).
//
// Compressed streams carry encoder priming and padding that only the decoder resolves, so the
// length is counted by decoding the stream once when the file is opened: the length is then
// exactly the number of frames a sequential read delivers. Seeking is sample-exact: the
// demuxer seeks to a point well before the target (so that the decoder's overlap and pre-roll
// have settled), frames are placed on the timeline by their timestamps, and everything before
// the target is decoded and discarded. When the timestamps do not agree with the decoded
// frame count, seeking falls back to decoding from the start.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "Readers.hpp"
#include "audiocore/platform/Errors.hpp"

namespace corvaline::detail {
namespace {

std::string avError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

LibraryError ffmpegError(const std::string& what, int code) {
    return LibraryError("FFmpeg", what + ": " + avError(code));
}

// Decoder settling distance kept before a seek target: covers AAC's overlap and SBR delay,
// Opus and Vorbis pre-roll, and MP3's bit reservoir with room to spare.
int64_t seekMargin(double rate) {
    return std::max<int64_t>(8192, int64_t(rate * 0.2));
}

class FFmpegReader final : public AudioFileReader {
  public:
    explicit FFmpegReader(std::filesystem::path url) : url_(std::move(url)) {}
    ~FFmpegReader() override { closeAll(); }

    /// Opens the file and counts its frames. False when there is no decodable audio stream.
    bool start(std::string& error) {
        if (!openAll(error)) return false;
        countFrames();
        // Start reading afresh from a newly opened demuxer and decoder, exactly the state the
        // count was made in.
        closeAll();
        std::string again;
        if (!openAll(again)) throw LibraryError("FFmpeg", "Could not reopen the file: " + again);
        return true;
    }

    double sampleRate() const override { return rate_; }
    int channelCount() const override { return channels_; }
    int64_t length() const override { return length_; }
    int fileBitDepth() const override { return bits_; }
    int64_t position() const override { return position_; }

    void seek(int64_t frame) override {
        if (frame < 0 || frame > length_) {
            throw std::out_of_range("Read position " + std::to_string(frame) +
                                    " is outside the file (" + std::to_string(length_) +
                                    " frames)");
        }
        if (frame == position_) return;
        // Short forward moves decode through; everything else seeks the demuxer.
        if (frame > position_ && frame - position_ <= 4 * seekMargin(rate_)) {
            discardUntil(frame);
            return;
        }
        if (timestampsUsable_ && frame > seekMargin(rate_)) {
            if (seekByTimestamp(frame)) return;
        }
        rewind();
        discardUntil(frame);
    }

    uint32_t read(AudioBuffer& buffer, uint32_t frames) override {
        if (buffer.channelCount() != channels_) {
            throw std::invalid_argument("AudioFileReader::read: buffer has " +
                                        std::to_string(buffer.channelCount()) +
                                        " channels, file has " + std::to_string(channels_));
        }
        frames = std::min(frames, buffer.capacity());
        if (int64_t(frames) > length_ - position_) frames = uint32_t(length_ - position_);
        uint32_t done = 0;
        while (done < frames) {
            if (pendingOffset_ >= pendingCount_ && !decodeNext(INT64_MIN)) break;
            const uint32_t n = std::min(frames - done, pendingCount_ - pendingOffset_);
            for (int c = 0; c < channels_; ++c) {
                std::memcpy(buffer.channel(c) + done, plane(c) + pendingOffset_, n * sizeof(float));
            }
            pendingOffset_ += n;
            done += n;
        }
        position_ += done;
        buffer.setFrameLength(done);
        return done;
    }

  private:
    bool openAll(std::string& error) {
        int rc = avformat_open_input(&format_, url_.c_str(), nullptr, nullptr);
        if (rc < 0) {
            error = avError(rc);
            return false;
        }
        rc = avformat_find_stream_info(format_, nullptr);
        if (rc < 0) {
            error = avError(rc);
            return false;
        }
        const AVCodec* codec = nullptr;
        stream_ = av_find_best_stream(format_, AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
        if (stream_ < 0 || !codec) {
            error = stream_ == AVERROR_DECODER_NOT_FOUND ? "No decoder for the audio stream."
                                                         : "The file has no audio stream.";
            return false;
        }
        const AVStream* st = format_->streams[stream_];
        decoder_ = avcodec_alloc_context3(codec);
        if (!decoder_) throw std::bad_alloc();
        rc = avcodec_parameters_to_context(decoder_, st->codecpar);
        if (rc < 0) throw ffmpegError("Audio stream parameters", rc);
        decoder_->pkt_timebase = st->time_base;
        rc = avcodec_open2(decoder_, codec, nullptr);
        if (rc < 0) {
            error = avError(rc);
            return false;
        }
        if (decoder_->sample_rate <= 0 || decoder_->ch_layout.nb_channels <= 0) {
            error = "The audio stream has no sample rate or channels.";
            return false;
        }
        if (channels_ == 0) {
            indexedContainer_ = hasExactIndex(format_->iformat->name);
            rate_ = double(decoder_->sample_rate);
            channels_ = decoder_->ch_layout.nb_channels;
            timeBase_ = st->time_base;
            const int raw = st->codecpar->bits_per_raw_sample;
            const int pcm = av_get_exact_bits_per_sample(st->codecpar->codec_id);
            bits_ = raw > 0 ? raw : (pcm > 0 ? pcm : 0);
        }
        packet_ = av_packet_alloc();
        frame_ = av_frame_alloc();
        if (!packet_ || !frame_) throw std::bad_alloc();
        resetStreamState();
        return true;
    }

    void closeAll() {
        if (swr_) swr_free(&swr_);
        if (frame_) av_frame_free(&frame_);
        if (packet_) av_packet_free(&packet_);
        if (decoder_) avcodec_free_context(&decoder_);
        if (format_) avformat_close_input(&format_);
        swrFormat_ = -1;
    }

    void resetStreamState() {
        demuxerDone_ = false;
        decoderDone_ = false;
        pendingCount_ = 0;
        pendingOffset_ = 0;
        nextStart_ = 0;
        position_ = 0;
    }

    void rewind() {
        closeAll();
        std::string error;
        if (!openAll(error)) throw LibraryError("FFmpeg", "Could not reopen the file: " + error);
    }

    float* plane(int c) { return pending_.data() + size_t(c) * pendingCapacity_; }

    // Start of a decoded frame in frames from the first delivered sample, from its timestamp;
    // INT64_MIN when it has none.
    int64_t timestampStart(const AVFrame* f) const {
        const int64_t ts = f->pts != AV_NOPTS_VALUE ? f->pts : f->best_effort_timestamp;
        if (ts == AV_NOPTS_VALUE || !hasFirstTimestamp_) return INT64_MIN;
        return av_rescale_q_rnd(ts - firstTimestamp_, timeBase_, AVRational{1, int(rate_ + 0.5)},
                                AVRounding(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX));
    }

    // Receives the next decoded frame into frame_. False at the end of the stream.
    bool receiveFrame() {
        for (;;) {
            if (!decoderDone_) {
                const int rc = avcodec_receive_frame(decoder_, frame_);
                if (rc == 0) {
                    if (frame_->nb_samples > 0) return true;
                    av_frame_unref(frame_);
                    continue;
                }
                if (rc == AVERROR_EOF) {
                    decoderDone_ = true;
                    return false;
                }
                if (rc != AVERROR(EAGAIN)) throw ffmpegError("Decoding failed", rc);
            } else {
                return false;
            }
            if (demuxerDone_) {
                // Already flushing and the decoder asked for more: it is done.
                decoderDone_ = true;
                return false;
            }
            const int rr = av_read_frame(format_, packet_);
            if (rr == AVERROR_EOF) {
                demuxerDone_ = true;
                const int rc = avcodec_send_packet(decoder_, nullptr);
                if (rc < 0 && rc != AVERROR_EOF) throw ffmpegError("Decoding failed", rc);
                continue;
            }
            if (rr < 0) throw ffmpegError("Reading failed", rr);
            if (packet_->stream_index == stream_) {
                const int rc = avcodec_send_packet(decoder_, packet_);
                // A damaged packet is dropped as the decoder would conceal it; the frame count
                // made at open and every later read skip it alike.
                if (rc < 0 && rc != AVERROR_INVALIDDATA && rc != AVERROR(EAGAIN)) {
                    av_packet_unref(packet_);
                    throw ffmpegError("Decoding failed", rc);
                }
            }
            av_packet_unref(packet_);
        }
    }

    // Containers whose sample tables place every packet exactly. Elsewhere (raw ADTS, MPEG
    // streams, ...) the demuxer's seek may estimate timestamps, so seeks decode from the start.
    static bool hasExactIndex(const char* name) {
        const std::string formats = name ? name : "";
        return formats.find("mov") != std::string::npos ||
               formats.find("matroska") != std::string::npos || formats == "asf" ||
               formats == "caf";
    }

    void countFrames() {
        int64_t total = 0;
        timestampsUsable_ = indexedContainer_;
        while (receiveFrame()) {
            if (frame_->ch_layout.nb_channels != channels_ || frame_->sample_rate != int(rate_)) {
                av_frame_unref(frame_);
                throw LibraryError("FFmpeg", "The audio format changes within the stream.");
            }
            if (!hasFirstTimestamp_) {
                const int64_t ts =
                    frame_->pts != AV_NOPTS_VALUE ? frame_->pts : frame_->best_effort_timestamp;
                if (ts == AV_NOPTS_VALUE) {
                    timestampsUsable_ = false;
                } else {
                    firstTimestamp_ = ts;
                }
                hasFirstTimestamp_ = true;
            }
            if (timestampsUsable_ && timestampStart(frame_) != total) timestampsUsable_ = false;
            total += frame_->nb_samples;
            av_frame_unref(frame_);
        }
        length_ = total;
    }

    // Decodes the next frame into the pending planes (converted to float only when it reaches
    // past `convertFrom`, so that decoding through a seek distance skips the conversion).
    // False at the end of the stream.
    bool decodeNext(int64_t convertFrom) {
        if (!receiveFrame()) return false;
        takeFrame(convertFrom);
        return true;
    }

    void takeFrame(int64_t convertFrom) {
        const int n = frame_->nb_samples;
        if (frame_->ch_layout.nb_channels != channels_) {
            av_frame_unref(frame_);
            throw LibraryError("FFmpeg", "The audio format changes within the stream.");
        }
        pendingStart_ = nextStart_;
        nextStart_ += n;
        if (uint32_t(n) > pendingCapacity_) {
            pendingCapacity_ = uint32_t(n);
            pending_.assign(size_t(pendingCapacity_) * size_t(channels_), 0.0f);
        }
        if (pendingStart_ + n > convertFrom) {
            if (frame_->format == AV_SAMPLE_FMT_FLTP) {
                for (int c = 0; c < channels_; ++c) {
                    std::memcpy(plane(c), frame_->extended_data[c], size_t(n) * sizeof(float));
                }
            } else {
                convertWithResampler(n);
            }
        }
        pendingCount_ = uint32_t(n);
        pendingOffset_ = 0;
        av_frame_unref(frame_);
    }

    void convertWithResampler(int n) {
        if (!swr_ || swrFormat_ != frame_->format) {
            if (swr_) swr_free(&swr_);
            AVChannelLayout layout;
            av_channel_layout_default(&layout, channels_);
            const int rate = int(rate_ + 0.5);
            int rc = swr_alloc_set_opts2(&swr_, &layout, AV_SAMPLE_FMT_FLTP, rate, &layout,
                                         AVSampleFormat(frame_->format), rate, 0, nullptr);
            av_channel_layout_uninit(&layout);
            if (rc >= 0) rc = swr_init(swr_);
            if (rc < 0) {
                av_frame_unref(frame_);
                throw ffmpegError("Sample format conversion", rc);
            }
            swrFormat_ = frame_->format;
        }
        outPlanes_.resize(size_t(channels_));
        for (int c = 0; c < channels_; ++c) {
            outPlanes_[size_t(c)] = reinterpret_cast<uint8_t*>(plane(c));
        }
        const int got = swr_convert(swr_, outPlanes_.data(), n,
                                    const_cast<const uint8_t**>(frame_->extended_data), n);
        if (got != n) {
            av_frame_unref(frame_);
            if (got < 0) throw ffmpegError("Sample format conversion", got);
            throw LibraryError("FFmpeg", "Sample format conversion lost samples.");
        }
    }

    // Decodes forward from the current position and drops everything before `frame`.
    void discardUntil(int64_t frame) {
        while (position_ < frame) {
            if (pendingOffset_ >= pendingCount_ && !decodeNext(frame)) break;
            const int64_t n = std::min<int64_t>(frame - position_, pendingCount_ - pendingOffset_);
            pendingOffset_ += uint32_t(n);
            position_ += n;
        }
        if (position_ != frame) {
            throw LibraryError("FFmpeg", "Could not reach frame " + std::to_string(frame));
        }
    }

    // Seeks the demuxer to a point at least seekMargin() before `frame`, then decodes up to
    // it. False (with the reader rewound to the start) when the landing point is unusable.
    bool seekByTimestamp(int64_t frame) {
        const int rate = int(rate_ + 0.5);
        const int64_t goal = frame - seekMargin(rate_);
        const int64_t ts = firstTimestamp_ + av_rescale_q(goal, AVRational{1, rate}, timeBase_);
        if (av_seek_frame(format_, stream_, ts, AVSEEK_FLAG_BACKWARD) < 0) {
            rewind();
            return false;
        }
        avcodec_flush_buffers(decoder_);
        demuxerDone_ = false;
        decoderDone_ = false;
        pendingCount_ = 0;
        pendingOffset_ = 0;
        if (!receiveFrame()) {
            rewind();
            return false;
        }
        const int64_t landed = timestampStart(frame_);
        if (landed == INT64_MIN || landed < 0 || landed > goal) {
            av_frame_unref(frame_);
            rewind();
            return false;
        }
        nextStart_ = landed;
        position_ = landed;
        takeFrame(frame);
        discardUntil(frame);
        return true;
    }

    std::filesystem::path url_;
    AVFormatContext* format_ = nullptr;
    AVCodecContext* decoder_ = nullptr;
    SwrContext* swr_ = nullptr;
    int swrFormat_ = -1;
    AVPacket* packet_ = nullptr;
    AVFrame* frame_ = nullptr;
    int stream_ = -1;
    AVRational timeBase_{1, 1};

    double rate_ = 0;
    int channels_ = 0;
    int bits_ = 0;
    int64_t length_ = 0;
    int64_t position_ = 0;

    bool hasFirstTimestamp_ = false;
    int64_t firstTimestamp_ = 0;
    bool timestampsUsable_ = false;
    bool indexedContainer_ = false;

    bool demuxerDone_ = false;
    bool decoderDone_ = false;
    std::vector<float> pending_;  // channels_ planes of pendingCapacity_ frames
    std::vector<uint8_t*> outPlanes_;
    uint32_t pendingCapacity_ = 0;
    uint32_t pendingCount_ = 0;
    uint32_t pendingOffset_ = 0;
    int64_t pendingStart_ = 0;
    int64_t nextStart_ = 0;
};

}  // namespace

std::unique_ptr<AudioFileReader> openFFmpeg(const std::filesystem::path& url, std::string& error) {
    static std::once_flag quiet;
    // The program writes no log: FFmpeg's own console messages are silenced once.
    std::call_once(quiet, [] { av_log_set_level(AV_LOG_QUIET); });
    auto reader = std::make_unique<FFmpegReader>(url);
    if (!reader->start(error)) return nullptr;
    return reader;
}

}  // namespace corvaline::detail
