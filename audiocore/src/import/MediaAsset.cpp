#include "MediaAsset.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <thread>

#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/platform/Errors.hpp"

namespace corvaline::MediaImport {

namespace {

std::string avText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {0};
    if (av_strerror(code, text, sizeof text) < 0) return {};
    return text;
}

struct FormatCloser {
    void operator()(AVFormatContext* f) const { avformat_close_input(&f); }
};
using FormatPtr = std::unique_ptr<AVFormatContext, FormatCloser>;

/// Opens a container and reads its stream information; throws LibraryError when it cannot.
FormatPtr openFormat(const std::filesystem::path& url) {
    // The program writes no log: FFmpeg's own messages would go to standard error.
    static std::once_flag quiet;
    std::call_once(quiet, [] { av_log_set_level(AV_LOG_QUIET); });
    AVFormatContext* raw = nullptr;
    int rc = avformat_open_input(&raw, url.c_str(), nullptr, nullptr);
    if (rc < 0) throw LibraryError("FFmpeg", avText(rc));
    FormatPtr format(raw);
    rc = avformat_find_stream_info(format.get(), nullptr);
    if (rc < 0) throw LibraryError("FFmpeg", avText(rc));
    return format;
}

/// Consecutive "try again" answers of a demuxer before reading is given up as unfinished.
constexpr int kMaxRetries = 200;

class FFmpegTrack final : public TrackSource {
  public:
    FFmpegTrack(const MediaAsset& asset, const AssetTrack& track)
        : streamIndex_(track.streamIndex), origin_(asset.origin()) {
        try {
            open(asset);
        } catch (...) {
            release();  // the destructor does not run for a failed construction
            throw;
        }
    }

    ~FFmpegTrack() override { release(); }

    bool next(SampleBuffer& buffer) override {
        int retries = 0;
        for (;;) {
            av_frame_unref(frame_);
            int rc = avcodec_receive_frame(codec_, frame_);
            if (rc == 0) {
                describe(buffer);
                return true;
            }
            if (rc == AVERROR_EOF) {
                completed_ = true;
                return false;
            }
            if (rc != AVERROR(EAGAIN)) return fail(rc);
            if (flushing_) {
                completed_ = true;
                return false;
            }
            rc = av_read_frame(format_.get(), packet_);
            if (rc == AVERROR_EOF) {
                flushing_ = true;
                rc = avcodec_send_packet(codec_, nullptr);
                if (rc < 0 && rc != AVERROR_EOF) return fail(rc);
                continue;
            }
            if (rc == AVERROR(EAGAIN)) {
                // A demuxer with nothing to give yet; give up when it never recovers.
                if (++retries > kMaxRetries) return false;
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                continue;
            }
            if (rc < 0) return fail(rc);
            retries = 0;
            if (packet_->stream_index != streamIndex_) {
                av_packet_unref(packet_);
                continue;
            }
            rc = avcodec_send_packet(codec_, packet_);
            av_packet_unref(packet_);
            if (rc < 0 && rc != AVERROR(EAGAIN)) return fail(rc);
        }
    }

    int copy(int64_t from, uint32_t count, AudioBuffer& into) override {
        if (copyStatus_ != 0) return copyStatus_;
        if (from < 0 || from + count > frames_ || into.channelCount() != channels_ ||
            count > into.capacity())
            return AVERROR(EINVAL);
        for (int c = 0; c < channels_; ++c)
            std::memcpy(into.channel(c), samples_.data() + size_t(c) * size_t(frames_) + from,
                        sizeof(float) * count);
        into.setFrameLength(count);
        return 0;
    }

    bool completed() const override { return completed_; }
    std::string error() const override { return error_; }

  private:
    void open(const MediaAsset& asset) {
        try {
            format_ = openFormat(asset.url());
        } catch (const LibraryError& e) {
            if (std::strlen(e.what()) == 0) throw AudioFailure("Could not read the video's audio.");
            throw;
        }
        if (streamIndex_ < 0 || unsigned(streamIndex_) >= format_->nb_streams)
            throw AudioFailure("Could not read the video's audio.");
        for (unsigned i = 0; i < format_->nb_streams; ++i)
            format_->streams[i]->discard =
                int(i) == streamIndex_ ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
        AVStream* stream = format_->streams[streamIndex_];
        timeBase_ = av_q2d(stream->time_base);

        const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
        if (!codec) throw AudioFailure("macOS cannot decode this video's audio codec.");
        codec_ = avcodec_alloc_context3(codec);
        if (!codec_ || avcodec_parameters_to_context(codec_, stream->codecpar) < 0)
            throw AudioFailure("macOS cannot decode this video's audio codec.");
        codec_->pkt_timebase = stream->time_base;
        if (avcodec_open2(codec_, codec, nullptr) < 0)
            throw AudioFailure("macOS cannot decode this video's audio codec.");
        packet_ = av_packet_alloc();
        frame_ = av_frame_alloc();
        if (!packet_ || !frame_) throw std::bad_alloc();
    }

    void release() {
        av_frame_free(&frame_);
        av_packet_free(&packet_);
        avcodec_free_context(&codec_);
        swr_free(&swr_);
        av_channel_layout_uninit(&swrLayout_);
    }

    bool fail(int code) {
        error_ = avText(code);
        if (error_.empty()) error_ = "FFmpeg error " + std::to_string(code);
        return false;
    }

    /// Fills the description of the decoded frame and converts its samples to planar float.
    void describe(SampleBuffer& buffer) {
        const int channels = frame_->ch_layout.nb_channels;
        buffer.hasFormat = frame_->sample_rate > 0 && channels > 0;
        buffer.sampleRate = frame_->sample_rate;
        buffer.channels = channels;
        buffer.frames = frame_->nb_samples;
        int64_t ts = frame_->best_effort_timestamp;
        if (ts == AV_NOPTS_VALUE) ts = frame_->pts;
        // A frame without a timestamp continues where the previous one ended.
        buffer.presentationTime =
            ts == AV_NOPTS_VALUE ? nextTime_ : double(ts) * timeBase_ - origin_;
        if (frame_->sample_rate > 0)
            nextTime_ = buffer.presentationTime + double(frame_->nb_samples) / frame_->sample_rate;
        convert(channels);
    }

    void convert(int channels) {
        channels_ = channels;
        frames_ = std::max(frame_->nb_samples, 0);
        copyStatus_ = 0;
        samples_.resize(size_t(channels_) * size_t(frames_));
        if (channels_ <= 0 || frames_ == 0) return;
        const auto format = AVSampleFormat(frame_->format);
        if (format == AV_SAMPLE_FMT_FLTP) {
            for (int c = 0; c < channels_; ++c)
                std::memcpy(samples_.data() + size_t(c) * frames_, frame_->extended_data[c],
                            sizeof(float) * size_t(frames_));
            return;
        }
        // Other sample formats go through the resampler at an unchanged rate (a pure format
        // conversion without delay), rebuilt whenever the decoder's format changes.
        if (!swr_ || swrFormat_ != format || swrRate_ != frame_->sample_rate ||
            av_channel_layout_compare(&swrLayout_, &frame_->ch_layout) != 0) {
            swr_free(&swr_);
            av_channel_layout_uninit(&swrLayout_);
            int rc = swr_alloc_set_opts2(&swr_, &frame_->ch_layout, AV_SAMPLE_FMT_FLTP,
                                         frame_->sample_rate, &frame_->ch_layout, format,
                                         frame_->sample_rate, 0, nullptr);
            if (rc >= 0) rc = swr_init(swr_);
            if (rc < 0) {
                swr_free(&swr_);
                copyStatus_ = rc;
                return;
            }
            av_channel_layout_copy(&swrLayout_, &frame_->ch_layout);
            swrFormat_ = format;
            swrRate_ = frame_->sample_rate;
        }
        planes_.resize(size_t(channels_));
        for (int c = 0; c < channels_; ++c)
            planes_[size_t(c)] = reinterpret_cast<uint8_t*>(samples_.data() + size_t(c) * frames_);
        const int rc = swr_convert(swr_, planes_.data(), frames_,
                                   const_cast<const uint8_t**>(frame_->extended_data), frames_);
        if (rc < 0)
            copyStatus_ = rc;
        else if (rc != frames_)
            copyStatus_ = AVERROR_BUG;
    }

    FormatPtr format_;
    AVCodecContext* codec_ = nullptr;
    AVPacket* packet_ = nullptr;
    AVFrame* frame_ = nullptr;
    SwrContext* swr_ = nullptr;
    AVSampleFormat swrFormat_ = AV_SAMPLE_FMT_NONE;
    int swrRate_ = 0;
    AVChannelLayout swrLayout_{};
    int streamIndex_ = -1;
    double origin_ = 0;
    double timeBase_ = 0;
    double nextTime_ = 0;
    bool flushing_ = false;
    bool completed_ = false;
    std::string error_;
    std::vector<float> samples_;
    std::vector<uint8_t*> planes_;
    int channels_ = 0;
    int frames_ = 0;
    int copyStatus_ = 0;
};

}  // namespace

MediaAsset::MediaAsset(const std::filesystem::path& url) : url_(url) {
    FormatPtr format = openFormat(url);
    AVFormatContext* f = format.get();
    origin_ = (f->start_time != AV_NOPTS_VALUE && f->start_time > 0)
                  ? double(f->start_time) / AV_TIME_BASE
                  : 0.0;
    duration_ = f->duration != AV_NOPTS_VALUE ? double(f->duration) / AV_TIME_BASE
                                              : std::numeric_limits<double>::quiet_NaN();
    for (unsigned i = 0; i < f->nb_streams; ++i) {
        const AVStream* st = f->streams[i];
        if (st->codecpar->codec_type != AVMEDIA_TYPE_AUDIO) continue;
        AssetTrack track;
        track.streamIndex = int(i);
        track.sampleRate = st->codecpar->sample_rate;
        track.channels = st->codecpar->ch_layout.nb_channels;
        const double tb = av_q2d(st->time_base);
        // The movie timeline starts at 0; encoder priming may put a stream a hair before it.
        track.start = st->start_time != AV_NOPTS_VALUE
                          ? std::max(double(st->start_time) * tb - origin_, 0.0)
                          : 0.0;
        track.end = st->duration != AV_NOPTS_VALUE && st->duration > 0
                        ? track.start + double(st->duration) * tb
                        : duration_;
        tracks_.push_back(track);
    }
}

MediaAsset::~MediaAsset() = default;

std::unique_ptr<TrackSource> openTrack(const MediaAsset& asset, const AssetTrack& track) {
    return std::make_unique<FFmpegTrack>(asset, track);
}

}  // namespace corvaline::MediaImport
