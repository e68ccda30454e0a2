// PreviewRenderer: selection context, restoration, cleaned cache, finishing chain, crop.

#include "audiocore/restoration/PreviewRenderer.hpp"

#include <cmath>
#include <system_error>

#include "audiocore/files/AudioIO.hpp"
#include "audiocore/finishing/AudioDSP.hpp"
#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/platform/WorkingFile.hpp"

namespace fs = std::filesystem;

namespace corvaline::PreviewRenderer {

namespace {

constexpr const char* kEmptyRangeMessage = "Choose a non-empty audio range.";

int64_t lengthOf(const fs::path& file) {
    return AudioIO::open(file)->length();
}

/// The selection's body inside a working file that starts at source frame `contextStart`.
AudioFrameRange body(const AudioFrameRange& range, int64_t contextStart) {
    const AudioFrameRange b{range.start - contextStart, range.end - contextStart};
    if (b.start < 0 || b.end <= b.start) throw AudioFailure(kEmptyRangeMessage);
    return b;
}

}  // namespace

int64_t contextFrames(const std::optional<InferenceConfiguration>& configuration,
                      const ProcessingSettings& settings, double rate) {
    double seconds = 1;
    if (configuration && configuration->isSidonReference) {
        seconds = 4;
    } else if (configuration && configuration->isSidon() &&
               settings.sidonQuality == SidonQuality::careful) {
        seconds = 3;
    }
    return int64_t(seconds * rate);
}

AudioInfo render(const fs::path& source, const fs::path& destination,
                 const std::optional<AudioFrameRange>& range, const ProcessingSettings& settings,
                 const std::vector<ChannelSettings>& channels,
                 const std::optional<InferenceConfiguration>& configuration,
                 const WaveMetadata& metadata,
                 const std::optional<fs::path>& restorationDestination,
                 const ProgressCallback& progress, std::stop_token cancel) {
    const bool sidon = configuration && configuration->isSidon();
    const bool sidonBlend = sidon && settings.originalMix < 100;
    const bool modelRuns = configuration && (!sidon || settings.originalMix < 100);
    const auto report = [&progress](double fraction) {
        if (progress) progress(fraction);
    };

    const fs::path parent = folderOf(destination);  // also for an unnamed working file
    removeStaleWorkingFolders(parent);              // left there by runs that were killed
    const WorkingFolder folder(parent);

    fs::path working = source;
    int64_t contextStart = 0;
    if (range) {
        const auto file = AudioIO::open(source);
        const int64_t context = contextFrames(configuration, settings, file->sampleRate());
        const AudioFrameRange widened = range->addingContext(context, file->length());
        contextStart = widened.start;
        const fs::path selection = folder.path() / "selection.wav";
        AudioIO::extract(source, selection, widened, cancel);
        working = selection;
    }

    if (sidon && !(std::isfinite(settings.originalMix) && settings.originalMix >= 0 &&
                   settings.originalMix <= 100)) {
        throw AudioFailure(originalMixMessage);
    }

    const std::optional<OriginalAudioReference> workingOriginal =
        sidonBlend ? std::optional<OriginalAudioReference>(OriginalAudioReference{working, 0})
                   : std::nullopt;
    const fs::path unrestored = working;

    if (modelRuns) {
        const fs::path isolated = folder.path() / "isolated.wav";
        LocalInference::enhance(
            working, isolated, channels, *configuration, settings.sidonQuality,
            [&report](double f) { report(0.8 * f); }, cancel);
        working = isolated;
    }

    if (restorationDestination) {
        if (range) {
            AudioIO::extract(working, *restorationDestination, body(*range, contextStart), cancel);
        } else {
            const int64_t length = lengthOf(working);
            if (length < 1) throw AudioFailure(kEmptyRangeMessage);
            AudioIO::extract(working, *restorationDestination, {0, length}, cancel);
        }
    }

    const ProgressCallback chainProgress = [&report, &configuration](double f) {
        report(configuration ? 0.8 + 0.2 * f : f);
    };
    if (!range) {
        const auto sidechain =
            settings.bleedEnabled
                ? std::optional<OriginalAudioReference>(OriginalAudioReference{unrestored, 0})
                : std::nullopt;
        AudioDSP::render(working, destination, settings, channels, 32, workingOriginal, sidechain,
                         std::nullopt, chainProgress, cancel);
        metadata.append(destination);
    } else if (settings.normalizationEnabled || settings.levelerEnabled || settings.bleedEnabled) {
        // Programme-wide processing sees only the selection: the context never reaches the
        // loudness measurement, the leveler or the bleed detector.
        const fs::path programme = folder.path() / "programme.wav";
        AudioIO::extract(working, programme, body(*range, contextStart), cancel);
        const OriginalAudioReference atSelection{source, range->start};
        AudioDSP::render(
            programme, destination, settings, channels, 32,
            sidonBlend ? std::optional<OriginalAudioReference>(atSelection) : std::nullopt,
            settings.bleedEnabled ? std::optional<OriginalAudioReference>(atSelection)
                                  : std::nullopt,
            std::nullopt, chainProgress, cancel);
    } else {
        const fs::path processed = folder.path() / "processed.wav";
        AudioDSP::render(working, processed, settings, channels, 32, workingOriginal, std::nullopt,
                         std::nullopt, chainProgress, cancel);
        AudioIO::extract(processed, destination, body(*range, contextStart), cancel);
    }

    return AudioIO::analyze(destination, cancel);
}

}  // namespace corvaline::PreviewRenderer
