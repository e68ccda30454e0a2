#pragma once
// The analysis of a recording (AudioIO::analyze): every channel's overview, sample peak and
// RMS, accumulated block by block as the audio passes. AudioIO::analyze feeds it from a file;
// an import feeds it the blocks it writes, so the extracted audio is never read back.
//
// The length must be known before the first frame: overview point k of P = min(length, 1800)
// holds the peak of frames [ceil(k x length / P), ceil((k + 1) x length / P)). Non-finite
// samples count as silence. Allocates only in the constructor; add() is allocation-free.

#include <cstdint>
#include <string>
#include <vector>

#include "audiocore/model/AudioInfo.hpp"

namespace corvaline {

class AudioAnalysis {
  public:
    /// An analysis of `channels` channels (1 to 128) of `length` frames (at least 1). Throws
    /// std::invalid_argument otherwise.
    AudioAnalysis(int channels, int64_t length);

    /// Adds the next `frames` frames: planes[c][0..frames) for each channel. Throws
    /// std::out_of_range when they would run past the length given at construction (nothing
    /// is added then).
    void add(const float* const* planes, uint32_t frames);

    int channelCount() const { return int(peaks_.size()); }
    int64_t length() const { return length_; }
    /// Frames added so far.
    int64_t position() const { return position_; }
    /// True once `length` frames have been added.
    bool complete() const { return position_ == length_; }

    /// The channel records: ids 0..channels-1, names from `names` where present and not
    /// empty, else "Channel N". Meaningful once complete() (missing frames count as silence).
    std::vector<ChannelInfo> channels(const std::vector<std::string>& names = {}) const;

  private:
    int64_t length_;
    int64_t points_;
    int64_t position_ = 0;
    std::vector<std::vector<float>> overview_;
    std::vector<float> peaks_;
    std::vector<double> squares_;
};

}  // namespace corvaline
