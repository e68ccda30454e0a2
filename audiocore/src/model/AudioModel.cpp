#include <algorithm>

#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/model/AudioFrameRange.hpp"
#include "audiocore/model/AudioInfo.hpp"
#include "audiocore/platform/Uuid.hpp"

namespace corvaline {

AudioFrameRange AudioFrameRange::make(int64_t start, int64_t end) {
    if (start < 0 || start >= end) throw AudioFailure("Choose a non-empty audio range.");
    return AudioFrameRange{start, end};
}

AudioFrameRange AudioFrameRange::addingContext(int64_t context, int64_t limit) const {
    if (context < 0 || end > limit) {
        throw AudioFailure("The preview range extends beyond the recording.");
    }
    int64_t newStart = start - std::min(context, start);
    if (newStart < 0) newStart = 0;
    const int64_t newEnd = end + std::min(context, limit - end);
    if (newStart >= newEnd) throw AudioFailure("Choose a non-empty audio range.");
    return AudioFrameRange{newStart, newEnd};
}

AudioInfo::AudioInfo(std::filesystem::path url_, double sampleRate_, int64_t frameCount_,
                     int bitDepth_, std::vector<ChannelInfo> channels_, WaveMetadata metadata_,
                     std::optional<std::filesystem::path> sourceURL_)
    : id(newUuidString()),
      url(std::move(url_)),
      sampleRate(sampleRate_),
      frameCount(frameCount_),
      bitDepth(bitDepth_),
      channels(std::move(channels_)),
      metadata(std::move(metadata_)) {
    sourceURL = sourceURL_ ? *sourceURL_ : url;
}

}  // namespace corvaline
