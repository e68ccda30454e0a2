#pragma once
// One audio stream of a media file, decoded by FFmpeg to 32-bit float planes.
//
// The one FFmpeg decoder of the engine: the compressed-audio reader (AudioIO::open) and the
// video import both read through it. A file is opened as a local file only (its absolute path
// through FFmpeg's "file" protocol, with "file" as the only protocol allowed), so that no file
// name can make the program read standard input, concatenate files or connect to a network.
//
// Positions are sample counts at the stream's own rate on the container's timeline (its
// timestamps as FFmpeg reports them, edit lists applied, no origin subtracted). Timestamp
// arithmetic is overflow-checked: a timestamp at or beyond 2^62 samples is refused.
//
// Failures are AudioFailure texts that name the file and say what is wrong in a user's words
// ("Could not read “take.m4a”: the file is damaged or is not a recording FFmpeg can read.");
// FFmpeg's own text follows on a second line only where it adds something. Not thread-safe:
// one decoder per thread.
//
// FFmpeg's libraries are not linked: the first file read through them opens them (a command
// that reads only WAV files never pays for them). Without them every read is refused with
// "Could not read “x.m4a”: Corvaline reads compressed audio and videos through FFmpeg's
// libraries, and they could not be loaded. Install them again (on Debian: ...)." and the
// dynamic loader's reason on a second line.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audiocore/model/AudioFailure.hpp"

namespace corvaline {

/// What a container says about itself, read without decoding.
struct MediaContainer {
    enum class Kind { audio, video, other };
    struct Stream {
        int index = 0;               ///< stream number in the container
        Kind kind = Kind::other;     ///< audio, video, or anything else (subtitles, data)
        double sampleRate = 0;       ///< Hz (audio); 0 when unknown
        int channels = 0;            ///< channels per frame (audio); 0 when unknown
        std::string codec;           ///< FFmpeg's codec name ("aac", "pcm_s24le"), or "unknown"
        bool decodable = false;      ///< FFmpeg has a decoder for the codec
        double start = 0;            ///< first timestamp in seconds; NaN when unknown
        double duration = 0;         ///< declared duration in seconds; NaN when unknown
        double indexedEnd = 0;       ///< last indexed packet's time in seconds; NaN: no index
        int64_t indexedPackets = 0;  ///< packets in the container's index
        int64_t indexedBytes = 0;    ///< bytes of those packets
    };
    std::string format;    ///< FFmpeg's demuxer name ("mov,mp4,m4a,3gp,3g2,mj2", "mpegts")
    double start = 0;      ///< container start time in seconds; NaN when unknown
    double duration = 0;   ///< declared container duration in seconds; NaN when unknown
    int64_t fileSize = 0;  ///< bytes on disk
    /// True for containers whose timestamps are arbitrary (MPEG transport and program streams
    /// and the like): their timeline starts at the first timestamp. Elsewhere (MP4/MOV,
    /// Matroska, ...) timestamps already are the movie's timeline, starting at 0.
    bool arbitraryTimestamps = false;
    std::vector<Stream> streams;  ///< in container order
};

/// Reads the description of `url` (a local file). Throws AudioFailure naming the file when it
/// cannot be opened or is not a media file FFmpeg can read.
MediaContainer probeMedia(const std::filesystem::path& url);

class FFmpegDecoder {
  public:
    /// Opens `url` and selects audio stream `stream` (a container stream number), or FFmpeg's
    /// best audio stream when `stream` is negative. Throws AudioFailure naming the file when
    /// the file cannot be opened, holds no such audio stream, or no decoder accepts it
    /// ("Could not read “x.mov”: FFmpeg cannot decode this video's audio codec (CODEC).").
    explicit FFmpegDecoder(const std::filesystem::path& url, int stream = -1);

    /// Thrown instead of a plain AudioFailure when FFmpeg does not recognise the file at all
    /// (or finds no audio in it), so that a caller with another reader can report that one's
    /// view instead.
    class NotMedia : public AudioFailure {
      public:
        using AudioFailure::AudioFailure;
    };

    /// Thrown by next() on decoders opened together when the container's streams lie so far
    /// apart that more than the bound would have to be held in memory.
    class Unshareable : public std::exception {
      public:
        const char* what() const noexcept override;
    };

    /// Decoders of several audio streams of one file that read the container once: packets of
    /// one stream read on the way to another's are held for it, up to `maxQueuedBytes` in all
    /// (beyond it next() throws Unshareable; the caller then opens the streams one by one).
    /// These decoders cannot seek or rewind. Throws like the constructor.
    static std::vector<std::unique_ptr<FFmpegDecoder>> openTogether(
        const std::filesystem::path& url, const std::vector<int>& streams, size_t maxQueuedBytes);
    ~FFmpegDecoder();
    FFmpegDecoder(const FFmpegDecoder&) = delete;
    FFmpegDecoder& operator=(const FFmpegDecoder&) = delete;

    const std::filesystem::path& url() const;
    int streamIndex() const;
    /// Sample rate (Hz) and channel count of the decoded audio.
    double sampleRate() const;
    int channelCount() const;
    /// Bits per sample of the stored audio (24 for 24-bit PCM or ALAC); 0 for lossy codecs.
    int storedBits() const;
    /// FFmpeg's codec name.
    const std::string& codec() const;
    /// FFmpeg's demuxer name.
    const std::string& format() const;
    /// The stream's declared first sample and end (exclusive) on the container timeline, in
    /// samples; nullopt when the container does not declare them.
    std::optional<int64_t> declaredStart() const;
    std::optional<int64_t> declaredEnd() const;
    /// True when the container places every packet from a complete index (MP4/MOV sample
    /// tables) and that index lies inside the file: timestamps and the declared end are then
    /// exact to the sample, end padding included.
    bool exactTimeline() const;

    /// Decodes the next frame. False at the end of the stream. Throws AudioFailure naming the
    /// file when reading or decoding fails (a damaged packet is dropped, as FFmpeg's own
    /// decoder conceals it), or when a timestamp is absurd (at or beyond 2^62 samples).
    bool next();
    /// Frames of the current frame.
    uint32_t frames() const;
    /// True when the current frame's rate or channel count differs from the stream's: its
    /// samples are then not available (the caller refuses the stream in its own words).
    bool formatChanged() const;
    int frameChannels() const;
    double frameSampleRate() const;
    /// Channel `c` of the current frame (valid until the next call of next, seek or rewind).
    const float* channel(int c) const;
    /// The current frame's first sample on the container timeline; nullopt without timestamp.
    std::optional<int64_t> position() const;

    /// Moves the demuxer to a packet at or before `sample` (container timeline) and clears the
    /// decoder. False when the demuxer cannot seek there (the reader is then rewound), and
    /// always for decoders opened together (nothing changes then).
    bool seekBefore(int64_t sample);
    /// Starts again from the first packet, as freshly opened.
    void rewind();

  private:
    struct Demuxer;
    struct State;
    FFmpegDecoder(std::shared_ptr<Demuxer> demuxer, int stream);
    std::unique_ptr<State> state_;
};

}  // namespace corvaline
