#include "audiocore/platform/LoggedRun.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <nlohmann/json.hpp>

#include "audiocore/platform/Cancellation.hpp"
#include "audiocore/platform/Errors.hpp"
#include "audiocore/platform/FileDescriptor.hpp"
#include "audiocore/platform/Paths.hpp"
#include "audiocore/platform/Uuid.hpp"
#include "audiocore/platform/WorkingFile.hpp"

namespace fs = std::filesystem;

namespace corvaline {

namespace {

/// The run's log file: created empty (exclusively, private to the user) and removed when the
/// run ends, errors of the removal ignored.
class LogFile {
  public:
    LogFile()
        : path_(paths::temporaryFolder() / ("corvaline-process-" + newUuidString() + ".log")) {
        FileDescriptor::open(path_, O_WRONLY | O_CREAT | O_EXCL, 0600).close();
        removal_ = ScopedRemoval(path_);
    }
    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
    ScopedRemoval removal_;
};

}  // namespace

ProgramFailure::ProgramFailure(int status, std::string logTail)
    : std::runtime_error("Local runtime failed (" + std::to_string(status) + ").\n" + logTail),
      status_(status),
      logTail_(std::move(logTail)) {}

std::optional<double> progressLineValue(std::string_view line) {
    // The parser is iterative and the line is bounded by the reader, so hostile nesting or
    // length costs time proportional to the line at most.
    const auto json = nlohmann::json::parse(repairUtf8(line), nullptr, false);
    if (json.is_discarded() || !json.is_object() || json.empty()) return std::nullopt;
    const auto it = json.find("corvaline_progress");
    if (it == json.end() || !it->is_number()) return std::nullopt;
    const double value = it->get<double>();
    if (!std::isfinite(value) || value < 0.0 || value > 1.0) return std::nullopt;
    return value;
}

void runLogged(const fs::path& executable, const std::vector<std::string>& arguments,
               const std::optional<Environment>& environment, const ProgressCallback& progress,
               std::stop_token cancel) {
    throwIfCancelled(cancel);
    const LogFile log;
    // Opened before the child starts, so that no line is missed.
    std::optional<OutputLineReader> reader;
    if (progress) reader.emplace(log.path());

    ProcessOptions options;
    options.executable = executable;
    options.arguments = arguments;
    options.environment = environment;
    options.standardOutput = ProcessOutput::toFile(log.path(), true);
    options.standardError = ProcessOutput::sameAsOutput();
    options.pollInterval = std::chrono::milliseconds(50);

    const auto onLine = [&progress](std::string_view line) {
        if (const auto value = progressLineValue(line)) progress(*value);
    };
    const ProcessResult result = runProcess(options, cancel, [&] {
        if (reader) reader->poll(onLine);
    });
    if (!result.succeeded()) {
        throw ProgramFailure(result.status(), readFileTail(log.path(), kProgramLogTailBytes));
    }
}

}  // namespace corvaline
