#pragma once
// Running an outside engine or installer step to completion with its output in a log file.
//
// This is the one supervised run behind LocalInference::run and the runtime installer's steps:
// standard output and standard error of the child go to one log file,
// "corvaline-process-<UUID>.log" in the system temporary folder, created empty before the
// start and deleted when the run ends, whatever the outcome. When a progress callback is
// given, a second handle follows the log and every complete line that is a JSON object with a
// finite "corvaline_progress" number from 0 to 1 is reported; other lines are ignored. The
// child is polled every 0.05 s, so a cancellation reaches it within one poll: it is
// terminated (its whole process group), reaped, and Cancelled is thrown.
//
// Failures: a non-zero exit status throws ProgramFailure, whose what() is
// "Local runtime failed (STATUS)." + a line feed + the last 4000 bytes of the log (invalid
// UTF-8 replaced); a program that cannot be started, a log that cannot be created or read
// throw std::system_error naming what failed. The log is removed on every outcome.

#include <cstddef>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "audiocore/platform/Process.hpp"
#include "audiocore/platform/Progress.hpp"

namespace corvaline {

/// A program ended with a non-zero status. what() is the complete user-facing message.
class ProgramFailure : public std::runtime_error {
  public:
    ProgramFailure(int status, std::string logTail);
    /// The exit status, or the signal number when a signal ended the program.
    int status() const noexcept { return status_; }
    /// The end of the program's output, as quoted in the message.
    const std::string& logTail() const noexcept { return logTail_; }

  private:
    int status_;
    std::string logTail_;
};

/// Bytes of the log quoted in a ProgramFailure.
inline constexpr std::size_t kProgramLogTailBytes = 4000;

/// Runs `executable` with `arguments` (environment: `environment`, or this process's when
/// none) until it exits; see the contract above. Returns when it exited with status 0.
void runLogged(const std::filesystem::path& executable, const std::vector<std::string>& arguments,
               const std::optional<Environment>& environment = std::nullopt,
               const ProgressCallback& progress = {}, std::stop_token cancel = {});

/// The progress fraction a line of engine output reports: the "corvaline_progress" value of
/// a non-empty JSON object when it is a finite number within 0...1; nothing otherwise.
std::optional<double> progressLineValue(std::string_view line);

}  // namespace corvaline
