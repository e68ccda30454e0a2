// The engine's one FFmpeg decoder: opening a local file safely, selecting an audio stream,
// decoding it to float planes with timestamps in samples, and wording FFmpeg's failures.

#include "audiocore/files/FFmpegDecoder.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/macros.h>
#include <libswresample/swresample.h>
}

#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <deque>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/platform/SharedLibrary.hpp"

namespace fs = std::filesystem;

namespace corvaline {

namespace {

/// Sample positions stay below 2^62: anything beyond is not a real recording's timestamp.
constexpr int64_t kPositionLimit = int64_t(1) << 62;
/// Consecutive "try again" answers of a demuxer before reading is given up.
constexpr int kMaxRetries = 200;

std::string quoted(const fs::path& url) {
    return "\xE2\x80\x9C" + url.filename().string() + "\xE2\x80\x9D";
}

#define CORVALINE_SONAME(name, major) "lib" name ".so." AV_STRINGIFY(major)

/// The Debian packages that install FFmpeg's libraries (libavutil comes with each of them).
constexpr const char* kFFmpegPackages =
    "libavformat" AV_STRINGIFY(LIBAVFORMAT_VERSION_MAJOR) ", libavcodec" AV_STRINGIFY(
        LIBAVCODEC_VERSION_MAJOR) ", libswresample" AV_STRINGIFY(LIBSWRESAMPLE_VERSION_MAJOR);

/// FFmpeg's libraries, opened the first time a file is read through them rather than by the
/// dynamic loader at start-up (a WAV never needs them), with the functions the decoder calls.
class FFmpegLibraries : public LazyLibraries {
  public:
    FFmpegLibraries()
        : LazyLibraries({{CORVALINE_SONAME("avutil", LIBAVUTIL_VERSION_MAJOR),
                          CORVALINE_SONAME("avcodec", LIBAVCODEC_VERSION_MAJOR),
                          CORVALINE_SONAME("avformat", LIBAVFORMAT_VERSION_MAJOR),
                          CORVALINE_SONAME("swresample", LIBSWRESAMPLE_VERSION_MAJOR)},
                         "FFmpeg's libraries",
                         "reads compressed audio and videos",
                         kFFmpegPackages}) {}

    /// The libraries in the order above.
    enum Library : size_t { util, codec, format, resample };

    CORVALINE_LIBRARY_FUNCTION(av_strerror, util);
    CORVALINE_LIBRARY_FUNCTION(av_log_set_level, util);
    CORVALINE_LIBRARY_FUNCTION(av_dict_set, util);
    CORVALINE_LIBRARY_FUNCTION(av_dict_free, util);
    CORVALINE_LIBRARY_FUNCTION(av_frame_alloc, util);
    CORVALINE_LIBRARY_FUNCTION(av_frame_free, util);
    CORVALINE_LIBRARY_FUNCTION(av_frame_unref, util);
    CORVALINE_LIBRARY_FUNCTION(av_rescale_q, util);
    CORVALINE_LIBRARY_FUNCTION(av_rescale_q_rnd, util);
    CORVALINE_LIBRARY_FUNCTION(av_packet_alloc, codec);
    CORVALINE_LIBRARY_FUNCTION(av_packet_free, codec);
    CORVALINE_LIBRARY_FUNCTION(av_packet_move_ref, codec);
    CORVALINE_LIBRARY_FUNCTION(av_packet_unref, codec);
    CORVALINE_LIBRARY_FUNCTION(avcodec_find_decoder, codec);
    CORVALINE_LIBRARY_FUNCTION(avcodec_alloc_context3, codec);
    CORVALINE_LIBRARY_FUNCTION(avcodec_parameters_to_context, codec);
    CORVALINE_LIBRARY_FUNCTION(avcodec_open2, codec);
    CORVALINE_LIBRARY_FUNCTION(avcodec_receive_frame, codec);
    CORVALINE_LIBRARY_FUNCTION(avcodec_send_packet, codec);
    CORVALINE_LIBRARY_FUNCTION(avcodec_flush_buffers, codec);
    CORVALINE_LIBRARY_FUNCTION(avcodec_free_context, codec);
    CORVALINE_LIBRARY_FUNCTION(avcodec_get_name, codec);
    CORVALINE_LIBRARY_FUNCTION(av_get_exact_bits_per_sample, codec);
    CORVALINE_LIBRARY_FUNCTION(avformat_open_input, format);
    CORVALINE_LIBRARY_FUNCTION(avformat_close_input, format);
    CORVALINE_LIBRARY_FUNCTION(avformat_find_stream_info, format);
    CORVALINE_LIBRARY_FUNCTION(avformat_index_get_entries_count, format);
    CORVALINE_LIBRARY_FUNCTION(avformat_index_get_entry, format);
    CORVALINE_LIBRARY_FUNCTION(av_find_best_stream, format);
    CORVALINE_LIBRARY_FUNCTION(av_read_frame, format);
    CORVALINE_LIBRARY_FUNCTION(av_seek_frame, format);
    CORVALINE_LIBRARY_FUNCTION(swr_alloc_set_opts2, resample);
    CORVALINE_LIBRARY_FUNCTION(swr_init, resample);
    CORVALINE_LIBRARY_FUNCTION(swr_convert, resample);
    CORVALINE_LIBRARY_FUNCTION(swr_free, resample);

  private:
    // The program writes no log: FFmpeg's own console messages are silenced.
    void initialise() const override { av_log_set_level(AV_LOG_QUIET); }
};

#undef CORVALINE_SONAME

/// The libraries (unloaded until requireLibraries: every call into them follows it).
const FFmpegLibraries& ff() {
    static const FFmpegLibraries libraries;
    return libraries;
}

/// The libraries, loaded before anything touches `url`; refuses to read it without them.
void requireLibraries(const fs::path& url) {
    ff().require<MissingLibrary>("Could not read " + quoted(url));
}

std::string libraryText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    if (ff().av_strerror(code, text, sizeof text) < 0) return {};
    return text;
}

/// What went wrong, in a user's words; FFmpeg's own text follows on a second line only when
/// the wording does not already say everything it would.
std::string explain(int code) {
    switch (code) {
        case AVERROR(ENOENT):
            return "the file does not exist.";
        case AVERROR(EACCES):
        case AVERROR(EPERM):
            return "permission to read it was denied.";
        case AVERROR(EISDIR):
            return "it is a folder, not a file.";
        case AVERROR(ENOMEM):
            return "there was not enough memory to decode it.";
        case AVERROR(EIO):
            return "the disk reported a read error.";
        case AVERROR_INVALIDDATA:
        case AVERROR_EOF:
        case AVERROR_STREAM_NOT_FOUND:
        case AVERROR_DEMUXER_NOT_FOUND:
            return "the file is damaged or is not a recording FFmpeg can read.";
        case AVERROR_PATCHWELCOME:
            return "it uses a feature that FFmpeg's decoder does not support.";
        default:
            break;
    }
    const std::string text = libraryText(code);
    return "FFmpeg could not read it." + (text.empty() ? std::string() : "\nFFmpeg: " + text);
}

[[noreturn]] void fail(const fs::path& url, int code) {
    throw AudioFailure("Could not read " + quoted(url) + ": " + explain(code));
}

[[noreturn]] void fail(const fs::path& url, const std::string& what) {
    throw AudioFailure("Could not read " + quoted(url) + ": " + what);
}

/// FFmpeg does not recognise the file, or finds no audio in it.
[[noreturn]] void notMedia(const fs::path& url, int code) {
    throw FFmpegDecoder::NotMedia("Could not read " + quoted(url) + ": " + explain(code));
}

struct FormatCloser {
    void operator()(AVFormatContext* f) const { ff().avformat_close_input(&f); }
};
using FormatPtr = std::unique_ptr<AVFormatContext, FormatCloser>;

/// Opens `url` as a local file only: its absolute path through the "file" protocol, with
/// every other protocol refused (a name like "http:x.m4a", "pipe:0" or "concat:a|b" stays a
/// file name). Stream information is read unless `quick` and the container's headers
/// already describe the audio.
FormatPtr openLocal(const fs::path& url) {
    requireLibraries(url);
    std::error_code ec;
    fs::path absolute = fs::absolute(url, ec);
    if (ec) absolute = url;
    const std::string target = "file:" + absolute.string();
    AVDictionary* options = nullptr;
    ff().av_dict_set(&options, "protocol_whitelist", "file", 0);
    AVFormatContext* raw = nullptr;
    const int rc = ff().avformat_open_input(&raw, target.c_str(), nullptr, &options);
    ff().av_dict_free(&options);
    if (rc < 0) notMedia(url, rc);
    return FormatPtr(raw);
}

bool isMovFamily(const AVFormatContext* f) {
    return f->iformat && f->iformat->name && std::strstr(f->iformat->name, "mov") != nullptr;
}

bool hasAudioParameters(const AVStream* st) {
    return st->codecpar->codec_id != AV_CODEC_ID_NONE && st->codecpar->sample_rate > 0 &&
           st->codecpar->ch_layout.nb_channels > 0;
}

int64_t fileSize(const fs::path& url) {
    struct stat info {};
    return ::stat(url.c_str(), &info) == 0 ? int64_t(info.st_size) : -1;
}

/// The last indexed packet's end in the file (bytes) and count; 0 packets without an index.
void indexExtent(AVStream* st, int64_t& packets, int64_t& bytes, int64_t& lastTimestamp,
                 int64_t& furthestByte) {
    packets = ff().avformat_index_get_entries_count(st);
    bytes = 0;
    lastTimestamp = AV_NOPTS_VALUE;
    furthestByte = 0;
    for (int i = 0; i < packets; ++i) {
        const AVIndexEntry* e = ff().avformat_index_get_entry(st, i);
        if (!e) continue;
        bytes += e->size;
        if (e->pos >= 0) furthestByte = std::max<int64_t>(furthestByte, e->pos + e->size);
        if (lastTimestamp == AV_NOPTS_VALUE || e->timestamp > lastTimestamp)
            lastTimestamp = e->timestamp;
    }
}

/// FFmpeg's name of the codec; for a codec FFmpeg does not know, the container's four-letter
/// code when it is printable ("zzzz"), else "unknown".
std::string codecName(const AVCodecParameters* p) {
    if (p->codec_id != AV_CODEC_ID_NONE) return ff().avcodec_get_name(p->codec_id);
    std::string tag;
    for (int k = 0; k < 4; ++k) {
        const auto ch = char((p->codec_tag >> (8 * k)) & 0xFF);
        if (ch < 0x20 || ch > 0x7E) return "unknown";
        tag += ch;
    }
    return tag;
}

double seconds(int64_t ts, AVRational tb) {
    return ts == AV_NOPTS_VALUE ? std::nan("") : double(ts) * av_q2d(tb);
}

/// `ts` in stream time base as samples at `rate`, or nullopt when it has no value or lies
/// beyond 2^62 samples (av_rescale_q_rnd saturates instead of overflowing).
std::optional<int64_t> toSamples(int64_t ts, AVRational tb, int rate) {
    if (ts == AV_NOPTS_VALUE || rate <= 0 || tb.num <= 0 || tb.den <= 0) return std::nullopt;
    const int64_t s = ff().av_rescale_q_rnd(ts, tb, AVRational{1, rate},
                                            AVRounding(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX));
    if (s == INT64_MIN || s <= -kPositionLimit || s >= kPositionLimit) return std::nullopt;
    return s;
}

}  // namespace

MediaContainer probeMedia(const fs::path& url) {
    FormatPtr format = openLocal(url);
    AVFormatContext* f = format.get();
    const int rc = ff().avformat_find_stream_info(f, nullptr);
    if (rc < 0) fail(url, rc);
    MediaContainer media;
    media.format = f->iformat && f->iformat->name ? f->iformat->name : "";
    media.start = f->start_time != AV_NOPTS_VALUE ? double(f->start_time) / AV_TIME_BASE : NAN;
    media.duration = f->duration != AV_NOPTS_VALUE ? double(f->duration) / AV_TIME_BASE : NAN;
    media.fileSize = fileSize(url);
    media.arbitraryTimestamps = f->iformat && (f->iformat->flags & AVFMT_TS_DISCONT) != 0;
    for (unsigned i = 0; i < f->nb_streams; ++i) {
        AVStream* st = f->streams[i];
        MediaContainer::Stream s;
        s.index = int(i);
        const AVCodecParameters* p = st->codecpar;
        s.kind = p->codec_type == AVMEDIA_TYPE_AUDIO   ? MediaContainer::Kind::audio
                 : p->codec_type == AVMEDIA_TYPE_VIDEO ? MediaContainer::Kind::video
                                                       : MediaContainer::Kind::other;
        s.sampleRate = p->sample_rate > 0 ? double(p->sample_rate) : 0.0;
        s.channels = std::max(p->ch_layout.nb_channels, 0);
        s.codec = codecName(p);
        s.decodable = ff().avcodec_find_decoder(p->codec_id) != nullptr;
        s.start = seconds(st->start_time, st->time_base);
        s.duration = st->duration > 0 ? seconds(st->duration, st->time_base) : NAN;
        int64_t last = AV_NOPTS_VALUE, furthest = 0;
        indexExtent(st, s.indexedPackets, s.indexedBytes, last, furthest);
        s.indexedEnd = s.indexedPackets > 0 ? seconds(last, st->time_base) : NAN;
        media.streams.push_back(std::move(s));
    }
    return media;
}

/// One container read once for the decoders of several of its audio streams: packets of the
/// other attached streams read on the way are queued for their decoders, up to a bound.
struct FFmpegDecoder::Demuxer {
    fs::path url;
    FormatPtr format;
    std::vector<std::deque<AVPacket*>> queues;  ///< by stream; only attached streams
    std::vector<bool> attached;
    size_t queuedBytes = 0;
    size_t maxQueuedBytes = 0;  ///< 0: a private demuxer, nothing is queued
    bool ended = false;
    int endCode = AVERROR_EOF;

    ~Demuxer() {
        for (auto& queue : queues)
            for (AVPacket* p : queue)
                ff().av_packet_free(&p);
    }

    /// Opens `url` and reads stream information unless the sample tables of a MOV/MP4
    /// already describe every stream in `streams` (empty: reads it).
    void open(const std::vector<int>& streams) {
        format = openLocal(url);
        AVFormatContext* f = format.get();
        bool described = isMovFamily(f) && !streams.empty();
        for (int s : streams)
            described = described && s >= 0 && unsigned(s) < f->nb_streams &&
                        hasAudioParameters(f->streams[s]);
        if (!described) {
            const int rc = ff().avformat_find_stream_info(f, nullptr);
            if (rc < 0) fail(url, rc);
        }
        queues.assign(f->nb_streams, {});
        attached.assign(f->nb_streams, false);
    }

    /// Keeps only the attached streams; every other stream's packets are skipped unread.
    void attach(const std::vector<int>& streams) {
        AVFormatContext* f = format.get();
        for (int s : streams)
            if (s >= 0 && unsigned(s) < f->nb_streams) attached[size_t(s)] = true;
        for (unsigned i = 0; i < f->nb_streams; ++i)
            f->streams[i]->discard = attached[i] ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
    }

    /// The next packet of `stream` into `packet`: 0, AVERROR_EOF at the end, another error
    /// code when reading fails, AVERROR(EAGAIN) when the demuxer has nothing now. Throws
    /// FFmpegDecoder::Unshareable when the other streams' queues outgrow their bound.
    int read(int stream, AVPacket* packet) {
        auto& mine = queues[size_t(stream)];
        if (!mine.empty()) {
            AVPacket* queued = mine.front();
            mine.pop_front();
            queuedBytes -= size_t(std::max(queued->size, 0));
            ff().av_packet_move_ref(packet, queued);
            ff().av_packet_free(&queued);
            return 0;
        }
        if (ended) return endCode;
        for (;;) {
            const int rc = ff().av_read_frame(format.get(), packet);
            if (rc == AVERROR(EAGAIN)) return rc;
            if (rc < 0) {
                ended = true;
                endCode = rc;
                return rc;
            }
            const int s = packet->stream_index;
            if (s == stream) return 0;
            if (maxQueuedBytes == 0 || s < 0 || size_t(s) >= attached.size() ||
                !attached[size_t(s)]) {
                ff().av_packet_unref(packet);
                continue;
            }
            AVPacket* copy = ff().av_packet_alloc();
            if (!copy) {
                ff().av_packet_unref(packet);
                fail(url, AVERROR(ENOMEM));
            }
            ff().av_packet_move_ref(copy, packet);
            queuedBytes += size_t(std::max(copy->size, 0));
            queues[size_t(s)].push_back(copy);
            if (queuedBytes > maxQueuedBytes) throw Unshareable();
        }
    }
};

struct FFmpegDecoder::State {
    fs::path url;
    int wanted = -1;
    std::shared_ptr<Demuxer> demuxer;
    AVCodecContext* codec = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    SwrContext* swr = nullptr;
    int swrFormat = -1;
    int swrChannels = 0;
    int swrRate = 0;
    int stream = -1;
    AVRational timeBase{1, 1};
    int rate = 0;
    int channels = 0;
    int bits = 0;
    std::string codecName;
    std::string formatName;
    std::optional<int64_t> start, end;
    bool exact = false;
    bool flushing = false;
    bool finished = false;

    // The current frame: zero-copy planes of a float-planar frame, or converted planes.
    std::vector<float> converted;
    std::vector<const float*> planes;
    std::vector<uint8_t*> outPlanes;
    uint32_t frames = 0;
    int frameRate = 0;
    int frameChannels = 0;
    std::optional<int64_t> position;

    ~State() { close(); }

    // A track picked by number belongs to a video; otherwise the file is an audio file.
    std::string what() const { return wanted >= 0 ? "video's audio" : "audio"; }

    void close() {
        if (swr) ff().swr_free(&swr);
        swrFormat = -1;
        if (frame) ff().av_frame_free(&frame);
        if (packet) ff().av_packet_free(&packet);
        if (codec) ff().avcodec_free_context(&codec);
    }

    void open() {
        if (!demuxer || demuxer->maxQueuedBytes == 0) {
            demuxer = std::make_shared<Demuxer>();
            demuxer->url = url;
            demuxer->open(wanted >= 0 ? std::vector<int>{wanted} : std::vector<int>{});
        }
        AVFormatContext* f = demuxer->format.get();
        const AVCodec* decoder = nullptr;
        if (wanted >= 0) {
            if (unsigned(wanted) >= f->nb_streams ||
                f->streams[wanted]->codecpar->codec_type != AVMEDIA_TYPE_AUDIO)
                fail(url, "it has no such audio track.");
            stream = wanted;
            decoder = ff().avcodec_find_decoder(f->streams[wanted]->codecpar->codec_id);
        } else {
            stream = ff().av_find_best_stream(f, AVMEDIA_TYPE_AUDIO, -1, -1, &decoder, 0);
            if (stream == AVERROR_STREAM_NOT_FOUND)
                throw NotMedia("Could not read " + quoted(url) + ": it holds no audio.");
            if (stream < 0 && stream != AVERROR_DECODER_NOT_FOUND) fail(url, stream);
            if (stream < 0) {
                stream = ff().av_find_best_stream(f, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
                if (stream < 0)
                    throw NotMedia("Could not read " + quoted(url) + ": it holds no audio.");
                decoder = nullptr;
            }
        }
        if (demuxer->maxQueuedBytes == 0) demuxer->attach({stream});
        AVStream* st = f->streams[stream];
        codecName = corvaline::codecName(st->codecpar);
        if (!decoder)
            fail(url, "FFmpeg cannot decode this " + what() + " codec (" + codecName + ").");
        codec = ff().avcodec_alloc_context3(decoder);
        if (!codec) fail(url, AVERROR(ENOMEM));
        int rc = ff().avcodec_parameters_to_context(codec, st->codecpar);
        if (rc < 0) fail(url, rc);
        codec->pkt_timebase = st->time_base;
        rc = ff().avcodec_open2(codec, decoder, nullptr);
        if (rc < 0)
            fail(url, "FFmpeg cannot decode this " + what() + " codec (" + codecName +
                          ").\nFFmpeg: " + libraryText(rc));
        if (codec->sample_rate <= 0 || codec->ch_layout.nb_channels <= 0)
            fail(url, "its audio stream has no sample rate or channel count.");
        packet = ff().av_packet_alloc();
        frame = ff().av_frame_alloc();
        if (!packet || !frame) fail(url, AVERROR(ENOMEM));

        timeBase = st->time_base;
        rate = codec->sample_rate;
        channels = codec->ch_layout.nb_channels;
        formatName = f->iformat && f->iformat->name ? f->iformat->name : "";
        const int raw = st->codecpar->bits_per_raw_sample;
        const int pcm = ff().av_get_exact_bits_per_sample(st->codecpar->codec_id);
        bits = raw > 0 ? raw : (pcm > 0 ? pcm : 0);
        start = toSamples(st->start_time, timeBase, rate);
        end.reset();
        if (start && st->duration > 0) {
            if (const auto length = toSamples(st->duration, timeBase, rate)) {
                if (*length < kPositionLimit - *start) end = *start + *length;
            }
        }
        exact = false;
        if (isMovFamily(f) && start && end) {
            int64_t packets = 0, bytes = 0, last = AV_NOPTS_VALUE, furthest = 0;
            indexExtent(st, packets, bytes, last, furthest);
            const int64_t size = fileSize(url);
            exact = packets > 0 && size >= 0 && furthest <= size;
        }
        flushing = false;
        finished = false;
        frames = 0;
        position.reset();
    }

    bool receive() {
        int retries = 0;
        for (;;) {
            if (finished) return false;
            int rc = ff().avcodec_receive_frame(codec, frame);
            if (rc == 0) {
                if (frame->nb_samples > 0) return true;
                ff().av_frame_unref(frame);
                continue;
            }
            if (rc == AVERROR_EOF) {
                finished = true;
                return false;
            }
            // A frame the decoder could not reconstruct is dropped, as FFmpeg conceals it.
            if (rc == AVERROR_INVALIDDATA) continue;
            if (rc != AVERROR(EAGAIN)) fail(url, rc);
            if (flushing) {
                finished = true;
                return false;
            }
            rc = demuxer->read(stream, packet);
            if (rc == AVERROR_EOF) {
                flushing = true;
                rc = ff().avcodec_send_packet(codec, nullptr);
                if (rc < 0 && rc != AVERROR_EOF) fail(url, rc);
                continue;
            }
            if (rc == AVERROR(EAGAIN)) {
                if (++retries > kMaxRetries) fail(url, "reading stopped before the end.");
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                continue;
            }
            if (rc < 0) fail(url, rc);
            retries = 0;
            if (packet->stream_index == stream) {
                rc = ff().avcodec_send_packet(codec, packet);
                // A damaged packet is dropped, as FFmpeg's own decoder conceals it.
                if (rc < 0 && rc != AVERROR_INVALIDDATA && rc != AVERROR(EAGAIN)) {
                    ff().av_packet_unref(packet);
                    fail(url, rc);
                }
            }
            ff().av_packet_unref(packet);
        }
    }

    void take() {
        const int n = frame->nb_samples;
        const int c = frame->ch_layout.nb_channels;
        frames = uint32_t(n);
        frameRate = frame->sample_rate;
        frameChannels = c;
        if (c != channels || frame->sample_rate != rate) {
            // The caller words the refusal; the samples are not converted.
            planes.assign(size_t(channels), nullptr);
            position.reset();
            return;
        }
        int64_t ts = frame->pts != AV_NOPTS_VALUE ? frame->pts : frame->best_effort_timestamp;
        position.reset();
        if (ts != AV_NOPTS_VALUE) {
            position = toSamples(ts, timeBase, rate);
            if (!position) {
                ff().av_frame_unref(frame);
                fail(url, "its audio timestamps are invalid.");
            }
        }
        planes.resize(size_t(channels));
        if (frame->format == AV_SAMPLE_FMT_FLTP) {
            for (int ch = 0; ch < channels; ++ch)
                planes[size_t(ch)] = reinterpret_cast<const float*>(frame->extended_data[ch]);
            return;
        }
        convert(n);
    }

    // Other sample formats go through libswresample at an unchanged rate (a pure format
    // conversion, no delay), rebuilt only when the decoder's format changes.
    void convert(int n) {
        if (!swr || swrFormat != frame->format || swrChannels != channels || swrRate != rate) {
            if (swr) ff().swr_free(&swr);
            int rc = ff().swr_alloc_set_opts2(&swr, &frame->ch_layout, AV_SAMPLE_FMT_FLTP, rate,
                                              &frame->ch_layout, AVSampleFormat(frame->format),
                                              rate, 0, nullptr);
            if (rc >= 0) rc = ff().swr_init(swr);
            if (rc < 0) {
                ff().av_frame_unref(frame);
                fail(url, rc);
            }
            swrFormat = frame->format;
            swrChannels = channels;
            swrRate = rate;
        }
        const size_t needed = size_t(n) * size_t(channels);
        if (converted.size() < needed) converted.resize(needed);
        outPlanes.resize(size_t(channels));
        for (int ch = 0; ch < channels; ++ch) {
            float* p = converted.data() + size_t(ch) * size_t(n);
            outPlanes[size_t(ch)] = reinterpret_cast<uint8_t*>(p);
            planes[size_t(ch)] = p;
        }
        const int got = ff().swr_convert(swr, outPlanes.data(), n,
                                         const_cast<const uint8_t**>(frame->extended_data), n);
        if (got != n) {
            ff().av_frame_unref(frame);
            if (got < 0) fail(url, got);
            fail(url, "its samples could not be converted.");
        }
    }
};

FFmpegDecoder::FFmpegDecoder(const fs::path& url, int stream) : state_(std::make_unique<State>()) {
    state_->url = url;
    state_->wanted = stream;
    state_->open();
}

FFmpegDecoder::~FFmpegDecoder() = default;

const char* FFmpegDecoder::Unshareable::what() const noexcept {
    return "the container's streams are too far apart to be read together";
}

const fs::path& FFmpegDecoder::url() const {
    return state_->url;
}
int FFmpegDecoder::streamIndex() const {
    return state_->stream;
}
double FFmpegDecoder::sampleRate() const {
    return state_->rate;
}
int FFmpegDecoder::channelCount() const {
    return state_->channels;
}
int FFmpegDecoder::storedBits() const {
    return state_->bits;
}
const std::string& FFmpegDecoder::codec() const {
    return state_->codecName;
}
const std::string& FFmpegDecoder::format() const {
    return state_->formatName;
}
std::optional<int64_t> FFmpegDecoder::declaredStart() const {
    return state_->start;
}
std::optional<int64_t> FFmpegDecoder::declaredEnd() const {
    return state_->end;
}
bool FFmpegDecoder::exactTimeline() const {
    return state_->exact;
}

bool FFmpegDecoder::next() {
    State& s = *state_;
    ff().av_frame_unref(s.frame);
    s.frames = 0;
    if (!s.receive()) return false;
    s.take();
    return true;
}

uint32_t FFmpegDecoder::frames() const {
    return state_->frames;
}
bool FFmpegDecoder::formatChanged() const {
    return state_->frameChannels != state_->channels || state_->frameRate != state_->rate;
}
int FFmpegDecoder::frameChannels() const {
    return state_->frameChannels;
}
double FFmpegDecoder::frameSampleRate() const {
    return state_->frameRate;
}
const float* FFmpegDecoder::channel(int c) const {
    return state_->planes[size_t(c)];
}
std::optional<int64_t> FFmpegDecoder::position() const {
    return state_->position;
}

bool FFmpegDecoder::seekBefore(int64_t sample) {
    State& s = *state_;
    ff().av_frame_unref(s.frame);
    s.frames = 0;
    const int64_t ts = ff().av_rescale_q(sample, AVRational{1, s.rate}, s.timeBase);
    if (s.demuxer->maxQueuedBytes != 0) return false;  // shared: the others read on
    if (ff().av_seek_frame(s.demuxer->format.get(), s.stream, ts, AVSEEK_FLAG_BACKWARD) < 0) {
        rewind();
        return false;
    }
    ff().avcodec_flush_buffers(s.codec);
    s.flushing = false;
    s.finished = false;
    return true;
}

void FFmpegDecoder::rewind() {
    if (state_->demuxer && state_->demuxer->maxQueuedBytes != 0)
        throw std::logic_error("FFmpegDecoder::rewind: decoders sharing a demuxer cannot rewind");
    state_->close();
    state_->demuxer.reset();
    state_->open();
}

FFmpegDecoder::FFmpegDecoder(std::shared_ptr<Demuxer> demuxer, int stream)
    : state_(std::make_unique<State>()) {
    state_->url = demuxer->url;
    state_->wanted = stream;
    state_->demuxer = std::move(demuxer);
    state_->open();
}

std::vector<std::unique_ptr<FFmpegDecoder>> FFmpegDecoder::openTogether(
    const fs::path& url, const std::vector<int>& streams, size_t maxQueuedBytes) {
    auto demuxer = std::make_shared<Demuxer>();
    demuxer->url = url;
    demuxer->maxQueuedBytes = std::max<size_t>(maxQueuedBytes, 1);
    demuxer->open(streams);
    demuxer->attach(streams);
    std::vector<std::unique_ptr<FFmpegDecoder>> decoders;
    for (int stream : streams)
        decoders.push_back(std::unique_ptr<FFmpegDecoder>(new FFmpegDecoder(demuxer, stream)));
    return decoders;
}

}  // namespace corvaline
