#pragma once
// Child processes: the engine's one way to run an outside program (the MXF probe and decoder,
// external restoration engines, tar, pip, validation scripts).
//
// Contract
// - The executable is run exactly as given (posix_spawn, never a PATH search). A relative path
//   is taken relative to the current directory of the calling process, not the child's.
// - Arguments are passed as they are; argv[0] is the executable path.
// - Environment: the calling process's environment, or `environment` when given (full
//   replacement); `environmentAdditions` are then set on top (they override).
// - Standard input reads the null device unless a file is named. Standard output and standard
//   error each go to the null device, a file (truncated or appended), an in-memory capture
//   with a byte limit (head or tail kept), or (standard error only) the same place as
//   standard output.
// - The child leads a new process group, so that terminating it also reaches programs it
//   started itself (pip, shell scripts); its signal mask is cleared and every signal has its
//   default action. Descriptors of the caller other than 0-2 are not inherited.
// - Stopping a child: SIGTERM to its group, then poll every 20 ms for up to 2 s; when it still
//   runs, SIGKILL to the group; then reap it. A ChildProcess that is destroyed while its child
//   runs stops it this way.
// - runProcess supervises a child on the calling thread: every 50 ms it checks the stop token,
//   drains captured output and calls `onPoll` (where callers read progress from an output file
//   or react to output chunks). Cancellation stops the child as above and throws Cancelled; an
//   exception from a callback stops the child and is rethrown.
// - Failures: a descriptor, pipe or spawn error (missing or non-executable program included) is
//   thrown as FileError (a std::system_error) naming the program in a user's words; the
//   child's own exit status is never an error here, it is reported in ProcessResult for the
//   caller to word.

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "audiocore/platform/FileDescriptor.hpp"

namespace corvaline {

/// Environment variables, name -> value.
using Environment = std::map<std::string, std::string>;

/// The calling process's environment as a map (the base that child environments start from).
Environment currentEnvironment();

/// Where one output stream of a child goes.
struct ProcessOutput {
    enum class Kind {
        discard,       ///< the null device
        file,          ///< a file, created or truncated (or appended when `append`)
        capture,       ///< a pipe read into ProcessResult, at most `limit` bytes kept
        sameAsOutput,  ///< standard error only: wherever standard output goes
    };
    /// Which end of an over-long capture is kept.
    enum class Keep { head, tail };

    Kind kind = Kind::discard;
    std::filesystem::path path;  ///< for `file`
    bool append = false;         ///< for `file`
    std::size_t limit = 0;       ///< for `capture`: bytes kept (all bytes are still counted)
    Keep keep = Keep::head;      ///< for `capture`

    static ProcessOutput discarded() { return {}; }
    static ProcessOutput toFile(std::filesystem::path path, bool append = false) {
        ProcessOutput o;
        o.kind = Kind::file;
        o.path = std::move(path);
        o.append = append;
        return o;
    }
    static ProcessOutput captured(std::size_t limit, Keep keep = Keep::head) {
        ProcessOutput o;
        o.kind = Kind::capture;
        o.limit = limit;
        o.keep = keep;
        return o;
    }
    static ProcessOutput sameAsOutput() {
        ProcessOutput o;
        o.kind = Kind::sameAsOutput;
        return o;
    }
};

/// Everything needed to start one child.
struct ProcessOptions {
    std::filesystem::path executable;                ///< run as given, never searched on PATH
    std::vector<std::string> arguments;              ///< after argv[0]
    std::optional<Environment> environment;          ///< full replacement; none = inherited
    Environment environmentAdditions;                ///< set on top of the above
    std::filesystem::path workingDirectory;          ///< empty = the caller's
    std::filesystem::path standardInput;             ///< empty = the null device
    ProcessOutput standardOutput;                    ///< default: discarded
    ProcessOutput standardError;                     ///< default: discarded
    std::chrono::milliseconds pollInterval{50};      ///< supervision period of runProcess
    std::chrono::milliseconds terminateGrace{2000};  ///< SIGTERM -> SIGKILL delay when stopping
    /// Called with each chunk read from a captured standard output (for progress lines over a
    /// pipe), on the supervising thread, before the chunk is stored.
    std::function<void(std::string_view)> onOutputChunk;
};

/// How a child ended and what was captured.
struct ProcessResult {
    bool exited = false;            ///< ended through exit(); false when a signal ended it
    int exitCode = -1;              ///< exit status when `exited`
    int signal = 0;                 ///< terminating signal when not `exited`
    std::string standardOutput;     ///< captured bytes (capture only)
    std::string standardError;      ///< captured bytes (capture only)
    std::uint64_t outputBytes = 0;  ///< all bytes the child wrote to a captured stdout
    std::uint64_t errorBytes = 0;   ///< all bytes the child wrote to a captured stderr

    /// Exited with status 0.
    bool succeeded() const { return exited && exitCode == 0; }
    /// The exit status, or the signal number when a signal ended the child.
    int status() const { return exited ? exitCode : signal; }
    /// True when captured standard output went past its limit.
    bool outputTruncated() const { return outputBytes > standardOutput.size(); }
    bool errorTruncated() const { return errorBytes > standardError.size(); }
};

/// One running (or finished) child. Starting it spawns the program; destroying it while it
/// runs stops it (SIGTERM, grace, SIGKILL) and reaps it. Not copyable; one thread at a time.
class ChildProcess {
  public:
    /// Starts the child. Throws std::system_error on any failure; nothing is left running.
    explicit ChildProcess(const ProcessOptions& options);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const;
    /// True while the child has not been reaped. Reaps it (without blocking) when it has ended.
    bool running();
    /// Reads what captured pipes hold, waiting up to `timeout` for data (0 = no wait).
    void drain(std::chrono::milliseconds timeout = std::chrono::milliseconds(0));
    /// SIGTERM to the child's process group (no effect once it has been reaped).
    void terminate();
    /// SIGKILL to the child's process group (no effect once it has been reaped).
    void kill();
    /// Stops a running child: terminate, poll every 20 ms for up to `grace`, kill, reap.
    void stop(std::chrono::milliseconds grace = std::chrono::milliseconds(2000));
    /// Blocks until the child ends, draining captures meanwhile; returns its result.
    ProcessResult wait();
    /// The result so far (exit fields are set once the child has been reaped).
    const ProcessResult& result() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

/// Starts a child and supervises it until it ends (see the contract at the top). `onPoll` runs
/// once per poll interval while the child runs and once more after it has ended (after a last
/// cancellation check), so that readers of an output file see the final lines.
ProcessResult runProcess(const ProcessOptions& options, std::stop_token cancel = {},
                         const std::function<void()>& onPoll = {});

/// Up to the last `maxBytes` bytes of a file as text with invalid UTF-8 repaired (U+FFFD);
/// empty when the file cannot be read. For error-output tails in user messages.
std::string readFileTail(const std::filesystem::path& path, std::size_t maxBytes);

/// `bytes` with every invalid UTF-8 sequence replaced by U+FFFD (a sequence cut at either
/// end also counts as invalid).
std::string repairUtf8(std::string_view bytes);

/// Follows a file another process is writing and hands out its complete lines. Reads in
/// chunks of up to 16384 bytes; an unfinished line longer than 16384 bytes keeps only its last
/// 16384 bytes. Lines are passed without their line feed (and without a trailing CR).
class OutputLineReader {
  public:
    /// A reader without a file, for feed() only.
    OutputLineReader() = default;
    /// Opens `path` for reading. Throws std::system_error when it cannot.
    explicit OutputLineReader(const std::filesystem::path& path);
    ~OutputLineReader();
    OutputLineReader(const OutputLineReader&) = delete;
    OutputLineReader& operator=(const OutputLineReader&) = delete;

    /// Reads everything new and calls `onLine` for each complete line (nothing without a
    /// file). Read errors throw std::system_error.
    void poll(const std::function<void(std::string_view)>& onLine);

    /// Feeds bytes that did not come from the file (e.g. a pipe chunk) through the same
    /// line splitting.
    void feed(std::string_view bytes, const std::function<void(std::string_view)>& onLine);

  private:
    FileDescriptor fd_;
    std::string pending_;
};

}  // namespace corvaline
