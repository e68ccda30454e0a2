#include "audiocore/restoration/SidonRestoration.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <system_error>

#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/modelruntime/ReferenceVocoder.hpp"
#include "audiocore/platform/Cancellation.hpp"
#include "audiocore/platform/Uuid.hpp"
#include "audiocore/restoration/SidonFeatureStitcher.hpp"
#include "audiocore/restoration/SidonTimeline.hpp"
#include "sidondsp/SeamlessM4TFrontEnd.hpp"

namespace corvaline {

namespace {

constexpr int64_t kFeatureRows = 499;
constexpr int64_t kFeatureWidth = 1024;

// The name under which a model takes `wanted`: the name itself when the model declares it,
// else the only input of a single-input model (the published checkpoints name their
// argument their own way).
std::string inputName(const Model& model, const std::string& wanted) {
    const auto names = model.inputNames();
    if (std::find(names.begin(), names.end(), wanted) != names.end()) return wanted;
    return names.size() == 1 ? names.front() : wanted;
}

// Removes a file when it goes out of scope, ignoring errors of the removal.
struct RemoveOnExit {
    std::filesystem::path path;
    ~RemoveOnExit() {
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
    }
};

}  // namespace

SidonRestoration::SidonRestoration(const std::filesystem::path& directory, std::stop_token cancel) {
    ModelConfiguration configuration;
    configuration.cpuOnly = true;
    predictor_ = load(predictorStem, directory, configuration, cancel);
    // The published vocoder is the reference decoder; present it in the contract layout.
    // Should this load fail, the predictor is released with the half-built object.
    vocoder_ = std::make_unique<ReferenceVocoder>(
        load(vocoderStem, directory, configuration, cancel), vocoderSamples);
}

SidonRestoration::SidonRestoration(std::unique_ptr<Model> predictor, std::unique_ptr<Model> vocoder)
    : predictor_(std::move(predictor)), vocoder_(std::move(vocoder)) {
    if (!predictor_ || !vocoder_) throw std::invalid_argument("SidonRestoration: missing model");
}

std::unique_ptr<Model> SidonRestoration::load(const std::string& stem,
                                              const std::filesystem::path& directory,
                                              const ModelConfiguration& configuration,
                                              std::stop_token cancel) {
    throwIfCancelled(cancel);
    const auto compiled = directory / (stem + compiledExtension);
    if (std::filesystem::exists(compiled)) return ModelRuntime::load(compiled, configuration);

    // Compile beside the destination so that the move is a rename on one file system.
    const RemoveOnExit temporary{
        directory / (".corvaline-" + newUuidString() + "-" + stem + compiledExtension)};
    ModelRuntime::compile(directory / (stem + packageExtension), temporary.path);
    throwIfCancelled(cancel);
    std::filesystem::rename(temporary.path, compiled);
    return ModelRuntime::load(compiled, configuration);
}

Tensor SidonRestoration::predict(const std::vector<float>& samples, std::stop_token cancel) const {
    throwIfCancelled(cancel);
    if (int64_t(samples.size()) != SidonTimeline::windowSamples16k) {
        throw AudioFailure("Sidon requires a ten-second context window.");
    }
    auto features = SeamlessM4TFrontEnd::inputFeatures(samples);
    if (features.frames != kFeatureRows) throw AudioFailure("Invalid Sidon input features.");
    Tensor input = Tensor::float32({1, kFeatureRows, SeamlessM4TFrontEnd::featureDim},
                                   std::move(features.features));
    const ModelOutputs outputs = predictor_->predict(
        {{inputName(*predictor_, "input_features"), std::move(input)}}, "features");
    const Tensor* result = outputs.tensor("features");
    if (!result) throw AudioFailure("Sidon predictor returned no speech features.");
    return *result;
}

std::vector<float> SidonRestoration::decode(const Tensor& features, std::stop_token cancel) const {
    throwIfCancelled(cancel);
    const ModelOutputs outputs =
        vocoder_->predict({{inputName(*vocoder_, "features"), features}}, "audio");
    const Tensor* audio = outputs.tensor("audio");
    if (!audio || audio->count() != vocoderSamples) {
        throw AudioFailure("Incompatible Sidon vocoder output.");
    }
    return floats(*audio);
}

std::vector<float> SidonRestoration::floats(const Tensor& tensor) {
    const int64_t count = tensor.count();
    std::vector<float> values(static_cast<size_t>(count));
    const bool readable = tensor.elementType() != ElementType::other;
    if (!tensor.isPacked() && readable) {
        for (int64_t i = 0; i < count; ++i)
            values[size_t(i)] = float(tensor.element(i));
    } else if (tensor.elementType() == ElementType::float32) {
        if (count > 0) std::memcpy(values.data(), tensor.data(), sizeof(float) * size_t(count));
    } else if (tensor.elementType() == ElementType::float16) {
        const auto* bits = static_cast<const uint16_t*>(tensor.data());
        for (int64_t i = 0; i < count; ++i)
            values[size_t(i)] = halfToFloat(bits[i]);
    } else {
        throw AudioFailure("Unsupported Sidon audio precision.");
    }
    if (!std::all_of(values.begin(), values.end(), [](float v) { return std::isfinite(v); })) {
        throw AudioFailure("Sidon returned invalid audio. No export was written.");
    }
    return values;
}

int64_t SidonRestoration::featureRow(int64_t frame, double rate) {
    return std::llround(double(frame) * 50.0 / rate);
}

void SidonRestoration::render(const std::filesystem::path& source,
                              const std::filesystem::path& destination, SidonQuality quality,
                              const ProgressCallback& progress, std::stop_token cancel) const {
    if (quality == SidonQuality::standard) {
        SidonTimeline::renderContext(
            source, destination, quality,
            [&](const std::vector<float>& samples, int64_t, int64_t, double) {
                return decode(predict(samples, cancel), cancel);
            },
            progress, cancel);
        return;
    }

    SidonFeatureStitcher stitcher;
    SidonTimeline::renderContext(
        source, destination, quality,
        [&](const std::vector<float>& samples, int64_t windowStart, int64_t bodyStart,
            double rate) {
            const Tensor features = predict(samples, cancel);
            const std::vector<int64_t> expected{1, kFeatureRows, kFeatureWidth};
            if (features.shape() != expected) {
                throw AudioFailure("Sidon returned incompatible speech-feature dimensions.");
            }
            std::vector<float> values = floats(features);
            std::vector<float> merged = stitcher.merge(
                std::move(values), featureRow(windowStart, rate), featureRow(bodyStart, rate));
            return decode(Tensor::float32(expected, std::move(merged)), cancel);
        },
        progress, cancel);
}

}  // namespace corvaline
