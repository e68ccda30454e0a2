#pragma once
// Presents the reference speech decoder in the layout the restoration engine expects.
//
// The published decoder takes speech features channel-first, [1, 1024, T], and returns
// 960 samples at 48 kHz per feature row, [1, 1, 960 x T]. The engine passes features
// row-major, [1, T, 1024], under the name "features" and expects the window's audio under
// "audio". The adapter hands the decoder a transposed view (no copy) and, when the decoder
// returns exactly 960 x T samples, keeps the first `windowSamples` of them: the rendering of
// one window ends 26 samples before the last row's hop (479014 of 479040 for 499 rows), and
// the walk never uses that end. Any other output passes through unchanged for the engine
// to validate.

#include <memory>

#include "audiocore/modelruntime/ModelRuntime.hpp"

namespace corvaline {

class ReferenceVocoder final : public Model {
  public:
    /// 48 kHz samples the reference decoder renders per feature row.
    static constexpr int64_t samplesPerRow = 960;

    /// Wraps `decoder` (one input of shape [1, 1024, T]); `windowSamples` is the length the
    /// engine expects for one full window.
    ReferenceVocoder(std::unique_ptr<Model> decoder, int64_t windowSamples);

    /// {"features"}.
    std::vector<std::string> inputNames() const override;
    /// Expects "features" of rank 3 ([1, T, 1024]); a missing or other input is a LibraryError.
    ModelOutputs predict(const TensorMap& inputs, const std::string& outputName) const override;

  private:
    std::unique_ptr<Model> decoder_;
    int64_t windowSamples_;
};

}  // namespace corvaline
