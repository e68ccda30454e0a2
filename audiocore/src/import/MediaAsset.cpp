#include "MediaAsset.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace corvaline::MediaImport {

namespace {

/// Containers whose timestamps do not start at the movie's beginning: MPEG transport and
/// program streams (FFmpeg marks them as having timestamp discontinuities).
bool hasArbitraryTimestamps(const MediaContainer& media) {
    if (media.arbitraryTimestamps) return true;
    for (const char* name : {"mpegts", "mpegtsraw", "mpeg", "mpegvideo"})
        if (media.format == name) return true;
    return false;
}

/// Sample tables list every packet of every stream: the last one tells where the data ends.
bool hasCompleteIndex(const MediaContainer& media) {
    return media.format.find("mov") != std::string::npos;
}

class FFmpegTrack final : public TrackSource {
  public:
    FFmpegTrack(std::unique_ptr<FFmpegDecoder> decoder, double origin)
        : decoder_(std::move(decoder)), origin_(origin) {}

    bool next(SampleBuffer& buffer) override {
        if (!decoder_->next()) {
            completed_ = true;
            return false;
        }
        const double rate = decoder_->frameSampleRate();
        buffer.hasFormat = rate > 0 && decoder_->frameChannels() > 0;
        buffer.sampleRate = rate;
        buffer.channels = decoder_->frameChannels();
        buffer.frames = decoder_->frames();
        // A frame without a timestamp continues where the previous one ended.
        const auto position = decoder_->position();
        buffer.presentationTime =
            position ? double(*position) / decoder_->sampleRate() - origin_ : nextTime_;
        if (rate > 0) nextTime_ = buffer.presentationTime + double(buffer.frames) / rate;
        return true;
    }

    int copy(int64_t from, uint32_t count, float* const* into) override {
        if (decoder_->formatChanged() || from < 0 || from + count > decoder_->frames())
            return AVERROR_INVALID;
        for (int c = 0; c < decoder_->channelCount(); ++c)
            std::memcpy(into[c], decoder_->channel(c) + from, sizeof(float) * count);
        return 0;
    }

    bool completed() const override { return completed_; }
    std::string error() const override { return {}; }

  private:
    // FFmpeg's AVERROR(EINVAL), without including FFmpeg here.
    static constexpr int AVERROR_INVALID = -22;

    std::unique_ptr<FFmpegDecoder> decoder_;
    double origin_ = 0;
    double nextTime_ = 0;
    bool completed_ = false;
};

}  // namespace

MediaAsset::MediaAsset(const std::filesystem::path& url) : url_(url) {
    const MediaContainer media = probeMedia(url);
    fileSize_ = media.fileSize;
    origin_ = hasArbitraryTimestamps(media) && std::isfinite(media.start) ? media.start : 0.0;
    duration_ = media.duration;
    indexedEnd_ = std::numeric_limits<double>::quiet_NaN();
    const bool indexed = hasCompleteIndex(media);
    for (const auto& st : media.streams) {
        if (indexed && st.indexedPackets > 0 && std::isfinite(st.indexedEnd)) {
            const double end = st.indexedEnd - origin_;
            indexedEnd_ = std::isnan(indexedEnd_) ? end : std::max(indexedEnd_, end);
        }
        if (st.kind != MediaContainer::Kind::audio) continue;
        AssetTrack track;
        track.streamIndex = st.index;
        track.sampleRate = st.sampleRate;
        track.channels = st.channels;
        track.codec = st.codec;
        track.decodable = st.decodable;
        // The movie timeline starts at 0; encoder priming may put a stream a hair before it.
        const double start = std::isfinite(st.start) ? st.start - origin_ : 0.0;
        track.start = std::max(start, 0.0);
        track.end = std::isfinite(st.duration) && st.duration > 0 ? start + st.duration : duration_;
        tracks_.push_back(track);
    }
}

std::vector<std::unique_ptr<TrackSource>> openTracks(const MediaAsset& asset, size_t heldBytes) {
    std::vector<std::unique_ptr<FFmpegDecoder>> decoders;
    if (heldBytes > 0) {
        std::vector<int> streams;
        for (const auto& track : asset.audioTracks())
            streams.push_back(track.streamIndex);
        decoders = FFmpegDecoder::openTogether(asset.url(), streams, heldBytes);
    } else {
        for (const auto& track : asset.audioTracks())
            decoders.push_back(std::make_unique<FFmpegDecoder>(asset.url(), track.streamIndex));
    }
    std::vector<std::unique_ptr<TrackSource>> sources;
    for (auto& decoder : decoders)
        sources.push_back(std::make_unique<FFmpegTrack>(std::move(decoder), asset.origin()));
    return sources;
}

}  // namespace corvaline::MediaImport
