// corvaline-cli render: restores the processed channels with a local model (optional), then
// finishes the whole recording through the chain into a WAV file with the source's recorder
// metadata; or, with --start/--end, renders a selection preview with context.

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>

#include "CliSupport.hpp"
#include "Command.hpp"
#include "Delivery.hpp"
#include "audiocore/files/AudioIO.hpp"
#include "audiocore/finishing/AudioDSP.hpp"
#include "audiocore/finishing/Export.hpp"
#include "audiocore/install/ModelCatalog.hpp"
#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/model/WaveMetadata.hpp"
#include "audiocore/platform/Paths.hpp"
#include "audiocore/platform/WorkingFile.hpp"
#include "audiocore/restoration/LocalInference.hpp"
#include "audiocore/restoration/PreviewRenderer.hpp"

namespace corvaline::cli {
namespace {

namespace fs = std::filesystem;

/// The installed model `id` as the engine runs it; the catalog's message plus the command that
/// installs what is missing otherwise.
InferenceConfiguration modelConfiguration(const std::string& id, double reduction) {
    try {
        return ModelCatalog().configuration(id, reduction);
    } catch (const AudioFailure& failure) {
        throw AudioFailure(std::string(failure.what()) +
                           "\nInstall it with: corvaline-cli models install " + id);
    }
}

/// A progress bar whose label follows the phase of the work.
class PhaseProgress {
  public:
    void show(const std::string& phase, double fraction) {
        if (!bar_ || phase != phase_) {
            if (bar_) bar_->finish();
            phase_ = phase;
            bar_ = std::make_unique<ProgressBar>(phase);
        }
        (*bar_)(fraction);
    }
    void finish() {
        if (bar_) bar_->finish();
    }

  private:
    std::string phase_;
    std::unique_ptr<ProgressBar> bar_;
};

/// "Restoring channel N (i of M)" for the restoration share (0...0.8) of a render.
std::string restoringPhase(double fraction, const std::vector<int>& processed) {
    if (processed.empty()) return "Restoring";
    const auto count = int(processed.size());
    const int i = std::clamp(int(fraction / 0.8 * count), 0, count - 1);
    return "Restoring channel " + std::to_string(processed[size_t(i)] + 1) + " (" +
           std::to_string(i + 1) + " of " + std::to_string(count) + ")";
}

int run(const std::vector<std::string>& argv) {
    if (isBatchRender(argv)) return runBatchRender(argv);
    Arguments args(argv);
    const DeliveryOptions delivery = parseDeliveryOptions(args);
    const auto output = args.option("-o");
    const auto bitsText = args.option("--bits");
    const auto process = args.option("--process");
    const auto model = args.option("--model");
    const auto reduction = args.option("--reduction");
    const auto quality = args.option("--sidon-quality");
    const auto originalMix = args.option("--original-mix");
    const auto startText = args.option("--start");
    const auto endText = args.option("--end");
    SettingsOptions options = parseSettingsOptions(args);
    applyStandard(delivery, options);
    const std::string input = args.positionals(1, "input file")[0];
    if (!output) throw UsageError{"missing -o OUT"};
    const int bits = bitsText ? int(parseInteger(*bitsText, "--bits")) : 24;
    if (bits != 24 && bits != 32) throw UsageError{"--bits must be 24 or 32"};
    if (bool(startText) != bool(endText)) throw UsageError{"--start and --end go together"};
    if (startText && bitsText) {
        throw UsageError{"a selection preview (--start/--end) is always 32-bit float"};
    }

    ProcessingSettings& settings = options.settings;
    if (model) {
        settings.isolation = true;
        settings.modelID = *model;
    }
    if (reduction) settings.reduction = parseNumber(*reduction, "--reduction");
    if (originalMix) settings.originalMix = parseNumber(*originalMix, "--original-mix");
    if (quality) {
        const auto value = sidonQualityFromRawValue(*quality);
        if (!value) throw UsageError{"--sidon-quality must be Standard or Careful"};
        settings.sidonQuality = *value;
    }

    const fs::path destination(*output);
    if (AudioDSP::isSameFile(destination, input)) {
        throw AudioFailure("Choose a different output file to protect the source recording.");
    }
    // A destination that is not a regular file (a link, pipe, device or folder) is refused
    // before any work.
    checkDestination(destination);
    // A Sidon restoration blended at 100 % original needs no model.
    std::optional<InferenceConfiguration> configuration;
    if (settings.isolation && !(settings.isSidon() && settings.originalMix == 100))
        configuration = modelConfiguration(settings.modelID, settings.reduction);

    const InputRecording recording(input);
    const fs::path& source = recording.audio();
    const int channelCount = recording.channelCount();
    const double rate = recording.sampleRate();
    const int64_t frames = recording.length();
    const auto channels = parseProcess(process, channelCount);
    std::vector<int> processed;
    for (int j = 0; j < channelCount; ++j)
        if (channels[size_t(j)].process) processed.push_back(j);

    std::optional<AudioFrameRange> range;
    if (startText) {
        const double start = parseNumber(*startText, "--start");
        const double end = parseNumber(*endText, "--end");
        range = AudioFrameRange::make(std::llround(start * rate), std::llround(end * rate));
    }
    const WaveMetadata metadata = WaveMetadata::read(source);

    return runCancellable([&](std::stop_token cancel) {
        PhaseProgress bar;
        const auto renderProgress = [&](double f) {
            bar.show(configuration && f < 0.8 ? restoringPhase(f, processed) : "Finishing", f);
        };
        if (range) {
            WorkingFile pending = WorkingFile::beside(destination, "corvaline");
            const AudioInfo result = PreviewRenderer::render(
                source, pending.path(), range, settings, channels, configuration, metadata,
                std::nullopt, renderProgress, cancel);
            bar.finish();
            pending.commit(destination);
            std::printf("Rendered selection %s: %s, %g Hz, 32-bit float, %.2f s\n",
                        printable(destination.string()).c_str(),
                        countText(result.channelCount(), "channel").c_str(), result.sampleRate,
                        result.duration());
            return 0;
        }

        AudioExport::Request request;
        request.restoration = source;
        request.destination = destination;
        request.sourceRecording = recording.source();
        request.settings = settings;
        request.channels = channels;
        request.bits = bits;
        request.metadata = metadata;
        request.sidechain = OriginalAudioReference{source, 0};
        // Restorations and the float intermediate live in a working folder that a later
        // start removes should this run be killed.
        const WorkingFolder work;
        request.workspace = work.path();
        if (configuration) {
            const fs::path restored = work.path() / "restored.wav";
            PreviewRenderer::render(source, work.path() / "preview.wav", std::nullopt, settings,
                                    channels, configuration, metadata, restored, renderProgress,
                                    cancel);
            request.restoration = restored;
            if (configuration->isSidon() && settings.originalMix < 100)
                request.original = OriginalAudioReference{source, 0};
        }
        AudioExport::exportRecording(
            request,
            [&](double f) { bar.show(bits == 24 && f >= 0.8 ? "Verifying" : "Finishing", f); },
            cancel);
        bar.finish();
        std::printf("Rendered %s: %s, %g Hz, %s, %.2f s\n", printable(destination.string()).c_str(),
                    countText(channelCount, "channel").c_str(), rate,
                    bits == 32 ? "32-bit float" : "24-bit PCM",
                    rate > 0 ? double(frames) / rate : 0.0);
        return checkDelivery(delivery, recording, destination, channels, cancel);
    });
}

const CommandRegistration registration{{
    "render",
    "render IN -o OUT [--preset NAME | --settings FILE.json] [--set field=value ...] "
    "[--bits 24|32] [--process 1,2] [--ceiling DB] [--model ID] [--reduction DB] "
    "[--sidon-quality Standard|Careful] [--original-mix PCT] [--start S --end S] "
    "[--standard NAME] [--report FILE.json|.html]"
    "\n       render IN... -d OUTDIR [-j N] [--overwrite] [render options]",
    "Restore (with --model or a preset's model) and finish a recording into a WAV file, keeping "
    "its recorder metadata; --start/--end render a selection preview with context.",
    run,
}};

}  // namespace
}  // namespace corvaline::cli
