#include "audiocore/modelruntime/ReferenceVocoder.hpp"

#include <stdexcept>

#include "audiocore/platform/Errors.hpp"

namespace corvaline {

ReferenceVocoder::ReferenceVocoder(std::unique_ptr<Model> decoder, int64_t windowSamples)
    : decoder_(std::move(decoder)), windowSamples_(windowSamples) {
    if (!decoder_) throw std::invalid_argument("ReferenceVocoder: no decoder");
}

std::vector<std::string> ReferenceVocoder::inputNames() const {
    return {"features"};
}

ModelOutputs ReferenceVocoder::predict(const TensorMap& inputs,
                                       const std::string& outputName) const {
    const auto features = inputs.find("features");
    if (features == inputs.end() || features->second.shape().size() != 3) {
        throw LibraryError("libtorch", "The speech decoder needs features of shape [1, T, 1024].");
    }
    const auto names = decoder_->inputNames();
    if (names.size() != 1) {
        throw LibraryError("libtorch", "The speech decoder must take exactly one input.");
    }
    const int64_t rows = features->second.shape()[1];
    const Tensor channelFirst = features->second.transposed(1, 2);
    ModelOutputs outputs = decoder_->predict({{names.front(), channelFirst}}, outputName);

    auto found = outputs.values.find(outputName);
    if (found == outputs.values.end() || !found->second) return outputs;
    Tensor& audio = *found->second;
    // Crop only the decoder's own layout: every dimension but the last of size 1.
    bool single = !audio.shape().empty();
    for (size_t d = 0; d + 1 < audio.shape().size(); ++d)
        single = single && audio.shape()[d] == 1;
    if (single && audio.shape().back() == samplesPerRow * rows &&
        audio.shape().back() > windowSamples_) {
        audio = audio.narrowedLast(windowSamples_);
    }
    return outputs;
}

}  // namespace corvaline
