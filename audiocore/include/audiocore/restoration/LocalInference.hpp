#pragma once
// LocalInference: the selected restoration model applied to every processed channel of a
// recording, and the runner of outside engines.
//
// enhance() restores each processed channel on its own as a mono file in a temporary root
// folder (a new UUID beside the destination, removed on every outcome): the channel is scaled
// so that its peak is at most 0.95 (never boosted), given half a second of trailing silence
// for the engines that are not Sidon, restored (Sidon FP16 in process; DeepFilterNet,
// HTDemucs and Sidon CPU Reference as child processes), checked against the engines' output
// contract, trimmed to the source length and scaled back. The destination is then assembled
// in 16384-frame blocks: processed channels from their restorations, every other channel
// copied unchanged. Memory does not grow with the recording's length; only one child runs at
// a time.

#include <filesystem>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "audiocore/files/AudioFile.hpp"
#include "audiocore/model/AudioInfo.hpp"
#include "audiocore/model/ProcessingSettings.hpp"
#include "audiocore/platform/Paths.hpp"
#include "audiocore/platform/Process.hpp"
#include "audiocore/platform/Progress.hpp"

namespace corvaline {

/// The model to run and how, as the model catalog builds it.
struct InferenceConfiguration {
    /// Program to run: the DeepFilterNet program or a runtime's "bin/python3"; absent for
    /// Sidon FP16, which runs in process.
    std::optional<std::filesystem::path> executable;
    /// Model file (DeepFilterNet archive, HTDemucs checkpoint) or folder (Sidon variants).
    std::filesystem::path model;
    /// Bridge script run by the interpreter; absent for DeepFilterNet and Sidon FP16.
    std::optional<std::filesystem::path> pythonBridge;
    /// DeepFilterNet attenuation in dB (its "-a"); 0 for the others.
    double reduction = 0;
    /// True only for Sidon CPU Reference.
    bool isSidonReference = false;

    InferenceConfiguration() = default;
    /// DeepFilterNet or HTDemucs (not the reference engine).
    InferenceConfiguration(std::optional<std::filesystem::path> executable,
                           std::filesystem::path model,
                           std::optional<std::filesystem::path> pythonBridge, double reduction)
        : executable(std::move(executable)),
          model(std::move(model)),
          pythonBridge(std::move(pythonBridge)),
          reduction(reduction) {}
    /// Sidon FP16 in process: only the model folder.
    static InferenceConfiguration sidon(std::filesystem::path model) {
        InferenceConfiguration c;
        c.model = std::move(model);
        return c;
    }
    /// Sidon CPU Reference: the runtime's interpreter, the model folder and the bridge.
    static InferenceConfiguration sidonReference(std::filesystem::path python,
                                                 std::filesystem::path model,
                                                 std::filesystem::path bridge) {
        InferenceConfiguration c(std::move(python), std::move(model), std::move(bridge), 0);
        c.isSidonReference = true;
        return c;
    }

    /// Either Sidon variant: no executable (in process), or the reference engine.
    bool isSidon() const { return !executable || isSidonReference; }

    friend bool operator==(const InferenceConfiguration&, const InferenceConfiguration&) = default;
};

namespace LocalInference {

inline constexpr const char* noRuntimeMessage = "The selected local model has no runtime.";
inline constexpr const char* incompatibleOutputMessage =
    "The model returned an incompatible or shortened channel. No export was written.";

/// Restores every processed channel of `source` (a channel is processed when `channels` has
/// no entry for it or its entry has `process` set) into `destination`, a 32-bit float WAV with
/// the source's channel count, rate and length. With no processed channel it is a float copy
/// and no model is loaded. `progress` receives 0...1 (per channel; within a channel only from
/// the Sidon engines).
///
/// Throws AudioFailure noRuntimeMessage (no executable and not Sidon FP16),
/// incompatibleOutputMessage (engine output not mono, rate not within 1 Hz, shorter than the
/// source, or for Sidon CPU Reference not exactly its length), "Model channel N ended at P /
/// L." (a restoration ran out during assembly), "Local runtime failed (STATUS)." + log tail
/// (an engine exited with an error); file, launch and model errors unchanged; Cancelled (a
/// running engine is terminated). The destination may then exist partially; the temporary
/// root is always removed.
void enhance(const std::filesystem::path& source, const std::filesystem::path& destination,
             const std::vector<ChannelSettings>& channels,
             const InferenceConfiguration& configuration, SidonQuality sidonQuality,
             const ProgressCallback& progress = {}, std::stop_token cancel = {});

/// Runs a program to completion with its output in a temporary log file (see
/// platform/LoggedRun.hpp): `environment` none = this process's; `progress` (optional) gets
/// the "corvaline_progress" lines it writes. Throws AudioFailure "Local runtime failed
/// (STATUS)." + a line feed + the last 4000 bytes of its output for a non-zero exit; launch
/// and file errors unchanged; Cancelled within one 0.05 s poll (the program is terminated).
void run(const std::filesystem::path& executable, const std::vector<std::string>& arguments,
         const std::optional<Environment>& environment = std::nullopt,
         const ProgressCallback& progress = {}, std::stop_token cancel = {});

/// Largest |sample| of `channel` of an open file, read from frame 0 in blocks of 32768
/// frames (cancellation checked per block); 0 for silence; NaN never raises it.
float channelPeak(AudioFileReader& file, int channel, std::stop_token cancel = {});

/// The DeepFilterNet attenuation as the command line gets it: shortest round-trip decimal.
std::string reductionText(double reduction);

/// The engine's command line for one channel: `input` the channel file, `output` the bridge
/// output file, `outputFolder` DeepFilterNet's output folder. Throws noRuntimeMessage
/// without an executable.
std::vector<std::string> engineArguments(const InferenceConfiguration& configuration,
                                         const std::filesystem::path& input,
                                         const std::filesystem::path& output,
                                         const std::filesystem::path& outputFolder);

/// The environment of an engine run: none (inherited) for DeepFilterNet; the managed
/// runtime's for the bridges, plus HF_HUB_OFFLINE, TRANSFORMERS_OFFLINE and
/// HF_HUB_DISABLE_TELEMETRY = "1" for Sidon CPU Reference.
std::optional<Environment> engineEnvironment(const InferenceConfiguration& configuration);

/// Arguments of the Sidon CPU Reference model check, run with the runtime's interpreter and
/// the managed environment: exit status 0 means the files in `folder` are usable.
inline std::vector<std::string> verifyArguments(const std::filesystem::path& bridge,
                                                const std::filesystem::path& folder) {
    return {"-I", bridge.string(), "--repo", folder.string(), "--verify"};
}

/// A bridge script shipped beside the executables: the "bridges" resource folder + `name` +
/// ".py" (`name` is "demucs_bridge" or "sidon_reference_bridge").
inline std::filesystem::path bridgeScript(const std::string& name) {
    return paths::resourceFolder("bridges") / (name + ".py");
}

/// Whether an engine's output meets the contract for a source of `sourceRate` Hz and
/// `sourceFrames` frames: mono, rate within 1 Hz, at least as long (exactly as long when
/// `exactLength`).
bool acceptsOutput(int channels, double rate, int64_t frames, double sourceRate,
                   int64_t sourceFrames, bool exactLength);

}  // namespace LocalInference

}  // namespace corvaline
