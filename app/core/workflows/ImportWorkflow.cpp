// Import of recordings: the open panel, many files at once through the engine's import
// (audio, video, MXF), the demo recording.
//
// The files are imported one after another. Each file is read by one background step; between
// steps the GUI thread checks for duplicates against the session as it is then, updates the
// status and appends the result, so a file appears in the sidebar as soon as it is ready.

#include <QFileInfo>

#include <system_error>

#include "audiocore/files/AudioIO.hpp"
#include "audiocore/import/MediaImport.hpp"
#include "core/bridge/Worker.hpp"
#include "core/state/AppState.hpp"

namespace corvaline::app {
namespace {

// The path with symbolic links resolved, or the path made absolute when it does not exist.
std::filesystem::path resolved(const std::filesystem::path& path) {
    std::error_code error;
    auto canonical = std::filesystem::weakly_canonical(path, error);
    if (error) return std::filesystem::absolute(path, error);
    return canonical;
}

QString fileName(const std::filesystem::path& path) {
    return QString::fromStdString(path.filename().string());
}

}  // namespace

void AppState::importPanel() {
    if (!platform_.openPanel) return;
    const auto urls =
        platform_.openPanel(QStringLiteral("Import Audio or Video"), MediaImport::contentTypes());
    if (!urls.empty()) importURLs(urls);
}

void AppState::reportImportMessage(const QString& message, bool failed) {
    // Every file that fails, or imports damaged, is named, joining the messages the user has
    // not dismissed yet rather than replacing them; past a screenful they are counted.
    constexpr int kListed = 8;
    if (!error_) {
        importMessages_ = 0;
        listedImportMessages_.clear();
        uncountedFailures_ = 0;
        uncountedWarnings_ = 0;
    }
    ++importMessages_;
    if (importMessages_ <= kListed) {
        listedImportMessages_ = error_ ? *error_ + QStringLiteral("\n\n") + message : message;
        setError(listedImportMessages_);
        return;
    }
    ++(failed ? uncountedFailures_ : uncountedWarnings_);
    QString shown = listedImportMessages_;
    if (uncountedFailures_ == 1) {
        shown += QStringLiteral("\n\nOne more file could not be imported.");
    } else if (uncountedFailures_ > 1) {
        shown += QStringLiteral("\n\n%1 more files could not be imported.").arg(uncountedFailures_);
    }
    if (uncountedWarnings_ == 1) {
        shown += QStringLiteral(
            "\n\nOne more file is damaged; the part of it that is present was imported.");
    } else if (uncountedWarnings_ > 1) {
        shown += QStringLiteral(
                     "\n\n%1 more files are damaged; the part of each that is present "
                     "was imported.")
                     .arg(uncountedWarnings_);
    }
    setError(shown);
}

void AppState::importURLs(const std::vector<std::filesystem::path>& urls) {
    if (busy_) return;
    auto worker = beginWork(QStringLiteral("Reading audio"));
    importNext(worker, urls, 0);
}

void AppState::importNext(std::shared_ptr<Worker> worker, std::vector<std::filesystem::path> urls,
                          size_t index) {
    if (worker != worker_) return;  // the operation ended meanwhile
    const size_t n = urls.size();
    // Skip files already in the session (symbolic links resolved), without a message.
    while (index < n && !worker->isCancelled()) {
        const auto target = resolved(urls[index]);
        const bool present = std::any_of(files_.begin(), files_.end(), [&](const AudioInfo& f) {
            return resolved(f.sourceURL) == target;
        });
        if (!present) break;
        ++index;
    }
    if (index >= n || worker->isCancelled()) {
        setStatus(QStringLiteral("Ready"));
        endWork();
        return;
    }
    const std::filesystem::path url = urls[index];
    setStatus(MediaImport::isVideo(url) ? QStringLiteral("Extracting audio from ") + fileName(url)
                                        : QStringLiteral("Reading audio"));
    const std::filesystem::path workspace = this->workspace();
    worker->run(
        [url, workspace](std::stop_token cancel, const ProgressCallback& progress) {
            return MediaImport::read(url, workspace, progress, cancel);
        },
        [this, worker, index, n](double f) {
            if (worker == worker_) setProgress((f + double(index)) / double(n));
        },
        [this, worker, urls = std::move(urls), index, n](StepOutcome<AudioInfo> outcome) mutable {
            if (worker != worker_) {
                if (outcome.value && outcome.value->isVideo())
                    discard(outcome.value->url.parent_path());
                return;
            }
            if (outcome.value) {
                if (worker->isCancelled()) {
                    // Extracted meanwhile: the folder the engine made goes again.
                    if (outcome.value->isVideo()) discard(outcome.value->url.parent_path());
                    setStatus(QStringLiteral("Ready"));
                    endWork();
                    return;
                }
                auto files = files_;
                files.push_back(*outcome.value);
                setFiles(std::move(files));
                if (!selectedID_) select(*outcome.value);
                // A file cut short is imported as far as it goes; the user is told.
                for (const std::string& warning : outcome.value->warnings)
                    reportImportMessage(QString::fromStdString(warning), false);
                setProgress(double(index + 1) / double(n));
            } else if (outcome.cancelled) {
                setStatus(QStringLiteral("Ready"));
                endWork();
                return;
            } else {
                reportImportMessage(fileName(urls[index]) + QStringLiteral(": ") + outcome.error,
                                    true);
                setProgress(double(index + 1) / double(n));
            }
            importNext(worker, std::move(urls), index + 1);
        });
}

void AppState::demo() {
    if (busy_) return;
    // The recording is written by the first step of the import, off the GUI thread.
    const auto url = workspace() / kDemoFileName;
    auto worker = beginWork(QStringLiteral("Reading audio"));
    worker->run([url](std::stop_token, const ProgressCallback&) { AudioIO::demo(url); }, {},
                [this, worker, url](StepOutcome<Done> outcome) {
                    if (worker != worker_) return;
                    if (!outcome.value) {
                        if (!outcome.cancelled) setError(outcome.error);
                        setStatus(QStringLiteral("Ready"));
                        endWork();
                        return;
                    }
                    importNext(worker, {url}, 0);
                });
}

}  // namespace corvaline::app
