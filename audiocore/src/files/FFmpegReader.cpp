// FFmpeg reader for the files libsndfile cannot open (AAC/M4A, ALAC, Opus, WMA, ...).
//
// The length is exact to the sample. Where the container places every packet from a complete
// index (MP4/M4A/MOV sample tables with their edit lists), its declared end is the length and
// frames are placed by their timestamps: encoder priming and end padding fall outside, a
// dropped packet leaves silence in its place, and nothing needs decoding at open. Elsewhere
// the stream is decoded once to count its frames; the count is kept for the rest of the run
// (per file identity: device, inode, size and modification time), so that analysis, the
// loudness plan, the render stream and the meter do not each decode the file again.
//
// Seeking is sample-exact: the demuxer seeks to a point well before the target (so that the
// decoder's overlap and pre-roll have settled), frames are placed on the timeline by their
// timestamps, and everything before the target is decoded and discarded. When the timestamps
// cannot be trusted, seeking decodes from the start.

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <tuple>

#include "Readers.hpp"
#include "audiocore/files/FFmpegDecoder.hpp"
#include "audiocore/model/AudioFailure.hpp"

namespace corvaline::detail {
namespace {

// Decoder settling distance kept before a seek target: covers AAC's overlap and SBR delay,
// Opus and Vorbis pre-roll, and MP3's bit reservoir with room to spare.
int64_t seekMargin(double rate) {
    return std::max<int64_t>(8192, int64_t(rate * 0.2));
}

// Containers whose seeks land on packets with exact timestamps. Elsewhere (raw ADTS, MPEG
// streams, ...) the demuxer's seek may estimate timestamps, so seeks decode from the start.
bool hasExactIndex(const std::string& formats) {
    return formats.find("mov") != std::string::npos ||
           formats.find("matroska") != std::string::npos || formats == "asf" || formats == "caf";
}

/// What one counting pass learnt about a stream.
struct Counted {
    int64_t length = 0;
    int64_t first = 0;              ///< timestamp of the first frame, in samples
    bool timestampsUsable = false;  ///< every frame's timestamp equals its counted position
};

/// Counting passes of this run, by file identity. A changed file (size or time) is counted
/// again; the table stays small.
class CountCache {
  public:
    using Key = std::tuple<dev_t, ino_t, off_t, int64_t, int64_t>;

    static std::optional<Key> keyOf(const std::filesystem::path& url) {
        struct stat info {};
        if (::stat(url.c_str(), &info) != 0) return std::nullopt;
        return Key{info.st_dev, info.st_ino, info.st_size, int64_t(info.st_mtim.tv_sec),
                   int64_t(info.st_mtim.tv_nsec)};
    }

    std::optional<Counted> find(const Key& key) {
        std::lock_guard lock(mutex_);
        const auto it = entries_.find(key);
        if (it == entries_.end()) return std::nullopt;
        return it->second;
    }

    void store(const Key& key, const Counted& counted) {
        std::lock_guard lock(mutex_);
        if (entries_.size() >= 256) entries_.clear();
        entries_[key] = counted;
    }

  private:
    std::mutex mutex_;
    std::map<Key, Counted> entries_;
};

CountCache& countCache() {
    static CountCache cache;
    return cache;
}

class FFmpegReader final : public AudioFileReader {
  public:
    explicit FFmpegReader(const std::filesystem::path& url) : decoder_(url) {
        rate_ = decoder_.sampleRate();
        channels_ = decoder_.channelCount();
        if (decoder_.exactTimeline() && startFromContainer()) return;
        startByCounting(url);
    }

    double sampleRate() const override { return rate_; }
    int channelCount() const override { return channels_; }
    int64_t length() const override { return length_; }
    int fileBitDepth() const override { return decoder_.storedBits(); }
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
            skipTo(frame);
            return;
        }
        if (timestampsUsable_ && frame > seekMargin(rate_) && seekByTimestamp(frame)) return;
        restart();
        skipTo(frame);
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
            const uint32_t n = deliver(frames - done, &buffer, done);
            if (n == 0) break;
            done += n;
        }
        buffer.setFrameLength(done);
        return done;
    }

  private:
    /// Length from the container's declared end, the timeline from the first frame.
    bool startFromContainer() {
        if (!decoder_.next() || !decoder_.position() || !decoder_.declaredEnd()) {
            decoder_.rewind();
            return false;
        }
        origin_ = *decoder_.position();
        const int64_t length = *decoder_.declaredEnd() - origin_;
        if (length <= 0) {
            decoder_.rewind();
            return false;
        }
        length_ = length;
        placeByTimestamp_ = true;
        timestampsUsable_ = true;
        takeCurrent();
        return true;
    }

    void startByCounting(const std::filesystem::path& url) {
        const auto key = CountCache::keyOf(url);
        std::optional<Counted> counted = key ? countCache().find(*key) : std::nullopt;
        if (!counted) {
            counted = count();
            if (key) countCache().store(*key, *counted);
            decoder_.rewind();
        }
        length_ = counted->length;
        origin_ = counted->first;
        timestampsUsable_ = counted->timestampsUsable && hasExactIndex(decoder_.format());
        placeByTimestamp_ = false;
    }

    Counted count() {
        Counted c;
        bool first = true;
        bool usable = true;
        while (decoder_.next()) {
            refuseFormatChange();
            const auto pos = decoder_.position();
            if (first) {
                usable = pos.has_value();
                if (pos) c.first = *pos;
                first = false;
            }
            if (usable && (!pos || *pos - c.first != c.length)) usable = false;
            c.length += decoder_.frames();
        }
        c.timestampsUsable = usable;
        return c;
    }

    void restart() {
        decoder_.rewind();
        pendingCount_ = 0;
        pendingOffset_ = 0;
        pendingStart_ = 0;
        nextStart_ = 0;
        position_ = 0;
        decoderDone_ = false;
    }

    void refuseFormatChange() const {
        if (decoder_.formatChanged())
            throw AudioFailure("Could not read \u201C" + decoder_.url().filename().string() +
                               "\u201D: the audio format changes within the stream.");
    }

    /// Makes the decoder's current frame the pending one, placed on the reader's timeline.
    void takeCurrent() {
        refuseFormatChange();
        const uint32_t n = decoder_.frames();
        int64_t start = nextStart_;
        if (placeByTimestamp_ && decoder_.position()) start = *decoder_.position() - origin_;
        pendingStart_ = start;
        pendingCount_ = n;
        pendingOffset_ = 0;
        nextStart_ = start + n;
    }

    bool fetch() {
        if (decoderDone_) return false;
        if (!decoder_.next()) {
            decoderDone_ = true;
            return false;
        }
        takeCurrent();
        return true;
    }

    /// Moves up to `frames` frames at the read position into `into` at `at` (or only skips
    /// them when `into` is null). Gaps between frames and a stream ending before the length
    /// give silence; frames overlapping what is already delivered are dropped.
    uint32_t deliver(uint32_t frames, AudioBuffer* into, uint32_t at) {
        frames = uint32_t(std::min<int64_t>(frames, length_ - position_));
        if (frames == 0) return 0;
        for (;;) {
            const int64_t pendingEnd = pendingStart_ + pendingCount_;
            if (pendingCount_ > 0 && pendingEnd > position_) break;
            if (!fetch()) {
                // The stream ended before the length: the rest is silence.
                if (into)
                    for (int c = 0; c < channels_; ++c)
                        std::fill_n(into->channel(c) + at, frames, 0.0f);
                position_ += frames;
                return frames;
            }
        }
        if (pendingStart_ > position_) {
            const auto gap = uint32_t(std::min<int64_t>(frames, pendingStart_ - position_));
            if (into)
                for (int c = 0; c < channels_; ++c)
                    std::fill_n(into->channel(c) + at, gap, 0.0f);
            position_ += gap;
            return gap;
        }
        const int64_t offset = position_ - pendingStart_;
        const auto n = uint32_t(std::min<int64_t>(frames, pendingCount_ - offset));
        if (into)
            for (int c = 0; c < channels_; ++c)
                std::memcpy(into->channel(c) + at, decoder_.channel(c) + offset, n * sizeof(float));
        position_ += n;
        return n;
    }

    void skipTo(int64_t frame) {
        while (position_ < frame) {
            const auto want = uint32_t(std::min<int64_t>(frame - position_, UINT32_MAX));
            if (deliver(want, nullptr, 0) == 0) break;
        }
        if (position_ != frame)
            throw AudioFailure("Could not read \u201C" + decoder_.url().filename().string() +
                               "\u201D: the decoder could not reach frame " +
                               std::to_string(frame) + ".");
    }

    // Seeks the demuxer to a point at least seekMargin() before `frame`, then decodes up to
    // it. False (with the reader rewound to the start) when the landing point is unusable.
    bool seekByTimestamp(int64_t frame) {
        const int64_t goal = frame - seekMargin(rate_);
        pendingCount_ = 0;
        pendingOffset_ = 0;
        decoderDone_ = false;
        if (!decoder_.seekBefore(origin_ + goal) || !decoder_.next() || !decoder_.position()) {
            restart();
            return false;
        }
        const int64_t landed = *decoder_.position() - origin_;
        if (landed < 0 || landed > goal) {
            restart();
            return false;
        }
        nextStart_ = landed;
        position_ = landed;
        takeCurrent();
        skipTo(frame);
        return true;
    }

    FFmpegDecoder decoder_;
    double rate_ = 0;
    int channels_ = 0;
    int64_t length_ = 0;
    int64_t position_ = 0;
    int64_t origin_ = 0;  ///< timestamp (samples) of the reader's frame 0
    bool placeByTimestamp_ = false;
    bool timestampsUsable_ = false;
    bool decoderDone_ = false;

    // The decoder's current frame on the reader's timeline.
    uint32_t pendingCount_ = 0;
    uint32_t pendingOffset_ = 0;
    int64_t pendingStart_ = 0;
    int64_t nextStart_ = 0;
};

}  // namespace

std::unique_ptr<AudioFileReader> openFFmpeg(const std::filesystem::path& url, std::string& error) {
    try {
        return std::make_unique<FFmpegReader>(url);
    } catch (const FFmpegDecoder::NotMedia& e) {
        error = e.what();
        return nullptr;
    }
}

}  // namespace corvaline::detail
