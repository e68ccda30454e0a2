// AudioExport: float pass, 24-bit clip check and neutral conversion, metadata, atomic commit.

#include "audiocore/finishing/Export.hpp"

#include <algorithm>

#include "audiocore/files/AudioIO.hpp"
#include "audiocore/finishing/AudioDSP.hpp"
#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/platform/Cancellation.hpp"
#include "audiocore/platform/Errors.hpp"
#include "audiocore/platform/WorkingFile.hpp"

namespace fs = std::filesystem;

namespace corvaline::AudioExport {

namespace {

void checkDestination(const Request& request) {
    const fs::path& destination = request.destination;
    bool same = AudioDSP::isSameFile(destination, request.sourceRecording) ||
                AudioDSP::isSameFile(destination, request.restoration);
    if (request.original)
        same = same || AudioDSP::isSameFile(destination, request.original->source);
    if (request.sidechain)
        same = same || AudioDSP::isSameFile(destination, request.sidechain->source);
    if (same) throw AudioFailure(protectSourceMessage);
    // A link, pipe, device, socket or folder under the chosen name is refused before any work,
    // as is a missing or read-only folder.
    try {
        corvaline::checkDestination(destination);
    } catch (const FileError& refusal) {
        throw AudioFailure(refusal.what());
    }
}

bool clips(const fs::path& file, std::stop_token cancel) {
    const AudioInfo info = AudioIO::analyze(file, cancel);
    return std::any_of(info.channels.begin(), info.channels.end(),
                       [](const ChannelInfo& c) { return c.peak > 1.0; });
}

}  // namespace

std::optional<double> verifiedCeiling(const ProcessingSettings& settings) {
    if (settings.normalizationEnabled || (settings.limiterEnabled && settings.truePeakEnabled))
        return settings.ceiling;
    return std::nullopt;
}

void exportRecording(const Request& request, const ProgressCallback& progress,
                     std::stop_token cancel) {
    checkDestination(request);
    const auto report = [&progress](double fraction) {
        if (progress) progress(fraction);
    };
    const bool integer = request.bits != 32;
    // Working files vanish with the process: a kill at any moment leaves only the previous
    // state behind.
    WorkingFile temporary = WorkingFile::beside(request.destination, "corvaline");

    if (!integer) {
        AudioDSP::render(request.restoration, temporary.path(), request.settings, request.channels,
                         32, request.original, request.sidechain, std::nullopt, report, cancel);
    } else {
        const WorkingFile floatRender(
            request.workspace ? *request.workspace : folderOf(request.destination),
            "corvaline-export", ".wav");
        AudioDSP::render(
            request.restoration, floatRender.path(), request.settings, request.channels, 32,
            request.original, request.sidechain, std::nullopt,
            [&report](double f) { report(0.8 * f); }, cancel);
        if (clips(floatRender.path(), cancel)) throw AudioFailure(clippingMessage);
        ProcessingSettings neutral;
        neutral.eqEnabled = false;
        neutral.compressorEnabled = false;
        neutral.limiterEnabled = false;
        AudioDSP::render(
            floatRender.path(), temporary.path(), neutral, request.channels, request.bits,
            std::nullopt, std::nullopt, verifiedCeiling(request.settings),
            [&report](double f) { report(0.8 + 0.2 * f); }, cancel);
    }

    request.metadata.append(temporary.path());
    throwIfCancelled(cancel);
    temporary.commit(request.destination);
    report(1.0);
}

}  // namespace corvaline::AudioExport
