// AudioExport: float pass, 24-bit clip check and neutral conversion, metadata, atomic commit.

#include "audiocore/finishing/Export.hpp"

#include <algorithm>
#include <system_error>

#include "audiocore/files/AudioIO.hpp"
#include "audiocore/finishing/AudioDSP.hpp"
#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/platform/Cancellation.hpp"
#include "audiocore/platform/Uuid.hpp"

namespace fs = std::filesystem;

namespace corvaline::AudioExport {

namespace {

/// A hidden file beside its destination that becomes the destination only through commit();
/// removed on every other outcome. All of the export's temporary files go through here.
class PendingFile {
  public:
    PendingFile(const fs::path& folder, const std::string& prefix)
        : path_(folder / ("." + prefix + "-" + newUuidString() + ".wav")) {}
    explicit PendingFile(fs::path path) : path_(std::move(path)) {}
    ~PendingFile() {
        if (committed_) return;
        std::error_code ignored;
        fs::remove(path_, ignored);
    }
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;
    const fs::path& path() const { return path_; }
    /// Moves the file onto `destination` in one step (same folder, so rename(2) replaces an
    /// existing file atomically).
    void commit(const fs::path& destination) {
        fs::rename(path_, destination);
        committed_ = true;
    }

  private:
    fs::path path_;
    bool committed_ = false;
};

fs::path folderOf(const fs::path& file) {
    return file.parent_path().empty() ? fs::path(".") : file.parent_path();
}

void checkDestination(const Request& request) {
    const fs::path& destination = request.destination;
    bool same = AudioDSP::isSameFile(destination, request.sourceRecording) ||
                AudioDSP::isSameFile(destination, request.restoration);
    if (request.original)
        same = same || AudioDSP::isSameFile(destination, request.original->source);
    if (request.sidechain)
        same = same || AudioDSP::isSameFile(destination, request.sidechain->source);
    if (same) throw AudioFailure(protectSourceMessage);
    std::error_code error;
    const auto status = fs::symlink_status(destination, error);
    if (!error && status.type() != fs::file_type::not_found &&
        status.type() != fs::file_type::regular) {
        throw AudioFailure("Could not write \u201C" + destination.filename().string() +
                           "\u201D: it is not a regular file.");
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
    PendingFile temporary(folderOf(request.destination), "corvaline");

    if (!integer) {
        AudioDSP::render(request.restoration, temporary.path(), request.settings, request.channels,
                         32, request.original, request.sidechain, std::nullopt, report, cancel);
    } else {
        const PendingFile floatRender =
            request.workspace
                ? PendingFile(*request.workspace / ("export-" + newUuidString() + ".wav"))
                : PendingFile(folderOf(request.destination), "corvaline-export");
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
