#pragma once
// The engine's one sample-rate converter: libsoxr with its very-high-quality recipe (linear
// phase), between 32-bit float non-interleaved formats. Used by the video import to bring
// every track to the common rate and by the restoration to feed models at their own rate.
// Allocates at construction only; one converter per stream and thread.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "audiocore/model/AudioBuffer.hpp"

namespace corvaline {

class RateConverter {
  public:
    /// What a pull delivered.
    enum class Input { data, noData, endOfStream };
    /// Fills `into` with up to `requested` frames (setting its frame length) and reports data;
    /// or reports that nothing is available now, or that the input has ended. May throw (the
    /// exception reaches the caller of convert).
    using Pull = std::function<Input(AudioBuffer& into, uint32_t requested)>;

    /// The AudioFailure texts a converter throws (the caller's words for its own context).
    struct Messages {
        std::string create;  ///< the converter cannot be made
        std::string failed;  ///< the library reports an error
    };
    /// The video import's texts: "Could not align the video's audio sample rates." and
    /// "Video audio resampling failed.".
    static Messages videoMessages();

    /// Throws `messages.create` when the converter cannot be made (rates not finite and
    /// positive, channels outside 1...128, library refusal). `inputBlock` is the most frames
    /// one pull is asked for (1...32768).
    RateConverter(double inputRate, double outputRate, int channels, uint32_t inputBlock = 32768,
                  Messages messages = videoMessages());
    ~RateConverter();
    RateConverter(const RateConverter&) = delete;
    RateConverter& operator=(const RateConverter&) = delete;

    /// Produces up to `maxFrames` (at most out's capacity) frames into `out` and sets its
    /// frame length; returns true once the input has ended and every frame is out. A library
    /// error, or a pull that delivers more than it was asked for, throws `messages.failed`.
    bool convert(AudioBuffer& out, uint32_t maxFrames, const Pull& pull);

    /// As above, into `maxFrames` frames of the planes `out` (one per channel); `produced`
    /// receives the frames written.
    bool convert(float* const* out, uint32_t maxFrames, const Pull& pull, uint32_t& produced);

    /// Push form: converts up to `frames` frames of `in` (null once the input has ended, to
    /// drain the converter) into at most `capacity` frames of `out`. `used` and `produced`
    /// receive the frames consumed and written. Throws `messages.failed`.
    void process(const float* const* in, size_t frames, float* const* out, size_t capacity,
                 size_t& used, size_t& produced);

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace corvaline
