#pragma once
// In-process speech restoration with the two Sidon models: a predictor that turns ten seconds
// of log-mel features (SeamlessM4TFrontEnd) into 1024-dimensional speech features, and a
// vocoder that synthesises 48 kHz speech from them. Both run on the CPU through the model
// runtime; the window walk is SidonTimeline's.
//
// The model folder holds the TorchScript pair "Sidon-Predictor.pt" and "Sidon-Vocoder.pt".
// The first load compiles each into "<stem>.compiled.pt" beside it; later loads use the
// compiled copy. The vocoder file has the reference decoder's layout (ReferenceVocoder).
//
// Model contract: predictor "input_features" [1, 499, 160] -> "features" ([1, 499, 1024] in
// Careful mode); vocoder "features" [1, 499, 1024] -> "audio", exactly 479014 samples at
// 48 kHz, float16 or float32.

#include <filesystem>
#include <memory>
#include <stop_token>
#include <string>
#include <vector>

#include "audiocore/model/ProcessingSettings.hpp"
#include "audiocore/modelruntime/ModelRuntime.hpp"
#include "audiocore/platform/Progress.hpp"

namespace corvaline {

class SidonRestoration {
  public:
    static constexpr const char* predictorStem = "Sidon-Predictor";
    static constexpr const char* vocoderStem = "Sidon-Vocoder";
    static constexpr const char* packageExtension = ".pt";
    static constexpr const char* compiledExtension = ".compiled.pt";
    /// Samples the vocoder renders for one window.
    static constexpr int64_t vocoderSamples = 479014;

    /// Loads (compiling on first use) the predictor, then the vocoder, from `directory`, CPU
    /// only. Runtime and file errors propagate; Cancelled before each load and after each
    /// compile.
    explicit SidonRestoration(const std::filesystem::path& directory, std::stop_token cancel = {});
    /// Uses models already loaded; `vocoder` must follow the contract layout above.
    SidonRestoration(std::unique_ptr<Model> predictor, std::unique_ptr<Model> vocoder);

    /// Restores the mono file `source` into a new 32-bit float mono WAV at `destination` with
    /// the source's rate and length. `progress` receives fractions 0...1. Throws the
    /// AudioFailures of SidonTimeline and of the steps below; model errors as they come.
    void render(const std::filesystem::path& source, const std::filesystem::path& destination,
                SidonQuality quality, const ProgressCallback& progress = {},
                std::stop_token cancel = {}) const;

    /// 160000 samples at 16 kHz -> the predictor's "features" tensor. Throws "Sidon requires a
    /// ten-second context window.", "Invalid Sidon input features.", "Sidon predictor
    /// returned no speech features.".
    Tensor predict(const std::vector<float>& samples, std::stop_token cancel = {}) const;
    /// Speech features -> 479014 samples at 48 kHz. Throws "Incompatible Sidon vocoder
    /// output." and the failures of floats.
    std::vector<float> decode(const Tensor& features, std::stop_token cancel = {}) const;

    /// A tensor's values as single precision: packed float32 copied, packed float16 widened,
    /// any other layout read element by element. Throws "Unsupported Sidon audio precision."
    /// (packed, neither float16 nor float32) and "Sidon returned invalid audio. No export was
    /// written." (NaN or infinity).
    static std::vector<float> floats(const Tensor& tensor);

    /// The absolute feature row (50 per second) of source frame `frame` at `rate`, rounded
    /// to nearest: the first Careful window, 0.02 s before the file, starts at row -1.
    static int64_t featureRow(int64_t frame, double rate);

    /// Loads model `stem` from `directory`: the compiled copy when present, else compiles the
    /// package into a hidden temporary file in the folder, moves it into place and loads it.
    /// The temporary file is removed on every outcome.
    static std::unique_ptr<Model> load(const std::string& stem,
                                       const std::filesystem::path& directory,
                                       const ModelConfiguration& configuration,
                                       std::stop_token cancel = {});

  private:
    std::unique_ptr<Model> predictor_;
    std::unique_ptr<Model> vocoder_;
};

}  // namespace corvaline
