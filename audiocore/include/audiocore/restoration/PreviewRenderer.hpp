#pragma once
// PreviewRenderer: a recording, an optional selection and the user's settings turned into a
// finished 32-bit float WAV.
//
// A selection is cut out with surrounding context (4 s each side for Sidon CPU Reference, 3 s
// for Sidon FP16 in Careful mode, 1 s otherwise), restored (LocalInference), finished through
// the chain (AudioDSP::render) and cropped back, so the model and the chain never start cold
// at the selection's edges. The cleaned audio of exactly the rendered range can be written to
// a second file (the restoration cache), from which later DSP edits re-render without the
// model. Working files live in a "render-<UUID>" folder beside the destination, removed on
// every outcome.

#include <filesystem>
#include <optional>
#include <stop_token>
#include <vector>

#include "audiocore/model/AudioFrameRange.hpp"
#include "audiocore/model/AudioInfo.hpp"
#include "audiocore/model/ProcessingSettings.hpp"
#include "audiocore/model/WaveMetadata.hpp"
#include "audiocore/platform/Progress.hpp"
#include "audiocore/restoration/LocalInference.hpp"

namespace corvaline::PreviewRenderer {

inline constexpr const char* originalMixMessage = "Original mix must be between 0 and 100 percent.";

/// Context frames around a selection of a `rate` Hz recording for `configuration` (none: no
/// model) and `settings`: 4 s for Sidon CPU Reference, 3 s for Sidon FP16 in Careful mode,
/// 1 s otherwise; seconds × rate truncated.
int64_t contextFrames(const std::optional<InferenceConfiguration>& configuration,
                      const ProcessingSettings& settings, double rate);

/// Renders `source` (or its `range`, in source frames) into `destination` and returns the
/// analysed destination. The model runs when `configuration` is given and, for the Sidon
/// engines, `settings.originalMix` is below 100. `metadata` is appended to full-file results
/// only. `restorationDestination`, when given, receives the cleaned audio of exactly the
/// rendered range. `progress`: 0...0.8 for the model and 0.8...1 for the chain when a
/// configuration is given, else the chain alone.
///
/// Throws AudioFailure originalMixMessage (a Sidon configuration with an Original Mix that is
/// not a finite 0...100), "Choose a non-empty audio range." (empty body or empty input), the
/// failures of AudioFrameRange::addingContext, LocalInference::enhance and AudioDSP::render;
/// file errors and Cancelled unchanged. `destination` and `restorationDestination` may then be
/// partial or missing; the working folder is always removed.
AudioInfo render(const std::filesystem::path& source, const std::filesystem::path& destination,
                 const std::optional<AudioFrameRange>& range, const ProcessingSettings& settings,
                 const std::vector<ChannelSettings>& channels,
                 const std::optional<InferenceConfiguration>& configuration,
                 const WaveMetadata& metadata,
                 const std::optional<std::filesystem::path>& restorationDestination,
                 const ProgressCallback& progress = {}, std::stop_token cancel = {});

}  // namespace corvaline::PreviewRenderer
