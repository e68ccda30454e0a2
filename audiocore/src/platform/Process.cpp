#include "audiocore/platform/Process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <thread>

#include "audiocore/platform/Cancellation.hpp"
#include "audiocore/platform/Errors.hpp"
#include "audiocore/platform/FileDescriptor.hpp"

extern char** environ;

namespace corvaline {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kReadChunk = 65536;
constexpr std::size_t kLineChunk = 16384;

using Fd = FileDescriptor;

Fd openOrThrow(const std::filesystem::path& path, int flags) {
    return FileDescriptor::open(path, flags, 0644);
}

/// One captured output pipe (parent's read end) and what has been kept from it.
struct Capture {
    Fd fd;
    std::size_t limit = 0;
    ProcessOutput::Keep keep = ProcessOutput::Keep::head;
    std::string* text = nullptr;
    std::uint64_t* total = nullptr;

    void store(const char* data, std::size_t n) {
        *total += n;
        if (keep == ProcessOutput::Keep::head) {
            if (text->size() < limit) text->append(data, std::min(n, limit - text->size()));
            return;
        }
        text->append(data, n);
        // Trim lazily so that a chatty child does not cost a move per chunk.
        if (text->size() > 2 * limit + kReadChunk) trim();
    }
    void trim() {
        if (keep == ProcessOutput::Keep::tail && text->size() > limit)
            text->erase(0, text->size() - limit);
    }
};

}  // namespace

Environment currentEnvironment() {
    Environment env;
    for (char** e = environ; e && *e; ++e) {
        std::string_view entry(*e);
        const auto eq = entry.find('=');
        if (eq == std::string_view::npos || eq == 0) continue;
        env.emplace(std::string(entry.substr(0, eq)), std::string(entry.substr(eq + 1)));
    }
    return env;
}

struct ChildProcess::State {
    pid_t pid = -1;
    bool reaped = false;
    std::chrono::milliseconds grace{2000};
    std::function<void(std::string_view)> onOutputChunk;
    Capture out;
    Capture err;
    ProcessResult result;

    bool anyOpen() const { return out.fd || err.fd; }

    /// Reads one capture until it would block; closes it at end of file.
    void readAvailable(Capture& cap, bool isOutput, bool callbacks) {
        char buffer[kReadChunk];
        while (cap.fd) {
            const ssize_t n = ::read(cap.fd.get(), buffer, sizeof buffer);
            if (n > 0) {
                if (isOutput && callbacks && onOutputChunk)
                    onOutputChunk(std::string_view(buffer, std::size_t(n)));
                cap.store(buffer, std::size_t(n));
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
            cap.trim();
            cap.fd.reset();  // end of file or a read error: nothing more will come
        }
    }

    void drain(std::chrono::milliseconds timeout, bool callbacks) {
        const auto deadline = Clock::now() + timeout;
        for (;;) {
            readAvailable(out, true, callbacks);
            readAvailable(err, false, callbacks);
            const auto now = Clock::now();
            if (now >= deadline) break;
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
            if (!anyOpen()) {
                std::this_thread::sleep_for(deadline - now);
                break;
            }
            pollfd fds[2];
            nfds_t count = 0;
            for (Capture* cap : {&out, &err})
                if (cap->fd) fds[count++] = pollfd{cap->fd.get(), POLLIN, 0};
            const int rc = ::poll(fds, count, int(std::max<long long>(left, 1)));
            if (rc < 0 && errno != EINTR) break;
        }
        out.trim();
        err.trim();
    }

    void record(int status) {
        reaped = true;
        if (WIFEXITED(status)) {
            result.exited = true;
            result.exitCode = WEXITSTATUS(status);
        } else if (WIFSIGNALED(status)) {
            result.exited = false;
            result.signal = WTERMSIG(status);
        }
    }

    bool running() {
        if (reaped) return false;
        int status = 0;
        for (;;) {
            const pid_t rc = ::waitpid(pid, &status, WNOHANG);
            if (rc == pid) {
                record(status);
                return false;
            }
            if (rc == 0) return true;
            if (errno == EINTR) continue;
            // Someone else reaped it (ECHILD): it has ended, with an unknown status.
            reaped = true;
            return false;
        }
    }

    void reapBlocking() {
        if (reaped) return;
        int status = 0;
        for (;;) {
            const pid_t rc = ::waitpid(pid, &status, 0);
            if (rc == pid) {
                record(status);
                return;
            }
            if (rc < 0 && errno == EINTR) continue;
            reaped = true;
            return;
        }
    }

    void signalGroup(int sig) const {
        if (!reaped && pid > 0) ::kill(-pid, sig);
    }

    void stop(std::chrono::milliseconds graceTime, bool callbacks) {
        if (!running()) return;
        signalGroup(SIGTERM);
        const auto deadline = Clock::now() + graceTime;
        while (running() && Clock::now() < deadline)
            drain(std::chrono::milliseconds(20), callbacks);
        if (running()) signalGroup(SIGKILL);
        reapBlocking();
        // Programs the child started and left behind in its group do not outlive the stop.
        ::kill(-pid, SIGKILL);
        drain(std::chrono::milliseconds(0), callbacks);
    }
};

ChildProcess::ChildProcess(const ProcessOptions& options) : state_(std::make_unique<State>()) {
    State& s = *state_;
    s.grace = options.terminateGrace;
    s.onOutputChunk = options.onOutputChunk;
    s.out.text = &s.result.standardOutput;
    s.out.total = &s.result.outputBytes;
    s.err.text = &s.result.standardError;
    s.err.total = &s.result.errorBytes;

    if (options.executable.empty()) throw fileError("start", "", ENOENT);
    const std::filesystem::path program = std::filesystem::absolute(options.executable);
    if (options.standardOutput.kind == ProcessOutput::Kind::sameAsOutput)
        throw std::invalid_argument("Standard output cannot be redirected to itself");

    // Descriptors the child receives as 0, 1 and 2; the parent's copies close on return.
    Fd in = openOrThrow(
        options.standardInput.empty() ? std::filesystem::path("/dev/null") : options.standardInput,
        O_RDONLY);
    auto outputFd = [&](const ProcessOutput& o, Capture& cap) -> Fd {
        switch (o.kind) {
            case ProcessOutput::Kind::file:
                return openOrThrow(o.path, O_WRONLY | O_CREAT | (o.append ? O_APPEND : O_TRUNC));
            case ProcessOutput::Kind::capture: {
                int fds[2];
                if (::pipe2(fds, O_CLOEXEC) != 0) throw fileError("start", program, errno);
                cap.fd = Fd(fds[0]);
                ::fcntl(fds[0], F_SETFL, ::fcntl(fds[0], F_GETFL) | O_NONBLOCK);
                cap.limit = o.limit;
                cap.keep = o.keep;
                return Fd(fds[1]);
            }
            case ProcessOutput::Kind::sameAsOutput:
                return Fd();
            case ProcessOutput::Kind::discard:
                break;
        }
        return openOrThrow("/dev/null", O_WRONLY);
    };
    Fd out = outputFd(options.standardOutput, s.out);
    Fd err = outputFd(options.standardError, s.err);

    // Arguments and environment as C arrays; the strings outlive the spawn call.
    std::vector<std::string> argStrings;
    argStrings.reserve(options.arguments.size() + 1);
    argStrings.push_back(program.string());
    argStrings.insert(argStrings.end(), options.arguments.begin(), options.arguments.end());
    std::vector<char*> argv;
    for (auto& a : argStrings)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    Environment env = options.environment ? *options.environment : currentEnvironment();
    for (const auto& [k, v] : options.environmentAdditions)
        env[k] = v;
    std::vector<std::string> envStrings;
    envStrings.reserve(env.size());
    for (const auto& [k, v] : env)
        envStrings.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& e : envStrings)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    struct Cleanup {
        posix_spawn_file_actions_t* a;
        posix_spawnattr_t* t;
        ~Cleanup() {
            posix_spawn_file_actions_destroy(a);
            posix_spawnattr_destroy(t);
        }
    } cleanup{&actions, &attr};

    posix_spawn_file_actions_adddup2(&actions, in.get(), 0);
    posix_spawn_file_actions_adddup2(&actions, out.get(), 1);
    if (options.standardError.kind == ProcessOutput::Kind::sameAsOutput)
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
    else
        posix_spawn_file_actions_adddup2(&actions, err.get(), 2);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    if (!options.workingDirectory.empty())
        posix_spawn_file_actions_addchdir_np(&actions, options.workingDirectory.c_str());

    sigset_t none;
    sigemptyset(&none);
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(
        &attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), envp.data());
    if (rc != 0) throw fileError("start", program, rc);
    s.pid = pid;
}

ChildProcess::~ChildProcess() {
    if (!state_) return;
    try {
        state_->stop(state_->grace, false);
    } catch (...) {
    }
}

pid_t ChildProcess::pid() const {
    return state_->pid;
}
bool ChildProcess::running() {
    return state_->running();
}
void ChildProcess::drain(std::chrono::milliseconds timeout) {
    state_->drain(timeout, true);
}
void ChildProcess::terminate() {
    state_->signalGroup(SIGTERM);
}
void ChildProcess::kill() {
    state_->signalGroup(SIGKILL);
}
void ChildProcess::stop(std::chrono::milliseconds grace) {
    state_->stop(grace, true);
}
const ProcessResult& ChildProcess::result() const {
    return state_->result;
}

ProcessResult ChildProcess::wait() {
    while (state_->running())
        state_->drain(std::chrono::milliseconds(50), true);
    state_->drain(std::chrono::milliseconds(0), true);
    return state_->result;
}

ProcessResult runProcess(const ProcessOptions& options, std::stop_token cancel,
                         const std::function<void()>& onPoll) {
    ChildProcess child(options);
    try {
        for (;;) {
            if (cancel.stop_requested()) {
                child.stop(options.terminateGrace);
                throw Cancelled();
            }
            child.drain();
            if (onPoll) onPoll();
            if (!child.running()) break;
            child.drain(options.pollInterval);
        }
        child.drain();
        throwIfCancelled(cancel);
        if (onPoll) onPoll();
    } catch (...) {
        child.stop(options.terminateGrace);
        throw;
    }
    return child.result();
}

std::string repairUtf8(std::string_view b) {
    static const char kReplacement[] = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(b.size());
    std::size_t i = 0;
    while (i < b.size()) {
        const auto c = static_cast<unsigned char>(b[i]);
        std::size_t len = 0;
        unsigned lo = 0x80, hi = 0xBF;  // allowed range of the second byte
        if (c < 0x80) {
            out.push_back(char(c));
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            if (c == 0xE0) lo = 0xA0;
            if (c == 0xED) hi = 0x9F;  // no surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
        }
        std::size_t valid = 0;
        if (len > 0) {
            valid = 1;
            while (valid < len && i + valid < b.size()) {
                const auto d = static_cast<unsigned char>(b[i + valid]);
                const unsigned l = valid == 1 ? lo : 0x80, h = valid == 1 ? hi : 0xBF;
                if (d < l || d > h) break;
                ++valid;
            }
        }
        if (len > 0 && valid == len) {
            out.append(b.substr(i, len));
            i += len;
        } else {
            // One replacement per maximal invalid prefix.
            out.append(kReplacement);
            i += std::max<std::size_t>(valid, 1);
        }
    }
    return out;
}

std::string readFileTail(const std::filesystem::path& path, std::size_t maxBytes) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return {};
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return {};
    const off_t size = st.st_size;
    const off_t start = size > off_t(maxBytes) ? size - off_t(maxBytes) : 0;
    std::string bytes(std::size_t(size - start), '\0');
    std::size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n =
            ::pread(fd.get(), bytes.data() + got, bytes.size() - got, start + off_t(got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += std::size_t(n);
    }
    bytes.resize(got);
    return repairUtf8(bytes);
}

OutputLineReader::OutputLineReader(const std::filesystem::path& path) {
    fd_ = FileDescriptor::open(path, O_RDONLY);
}

OutputLineReader::~OutputLineReader() = default;

void OutputLineReader::poll(const std::function<void(std::string_view)>& onLine) {
    if (!fd_) return;
    char buffer[kLineChunk];
    for (;;) {
        const ssize_t n = ::read(fd_.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw fileError("read", "program output", errno);
        if (n == 0) return;
        feed(std::string_view(buffer, std::size_t(n)), onLine);
    }
}

void OutputLineReader::feed(std::string_view bytes,
                            const std::function<void(std::string_view)>& onLine) {
    pending_.append(bytes);
    std::size_t start = 0;
    for (;;) {
        const auto nl = pending_.find('\n', start);
        if (nl == std::string::npos) break;
        std::string_view line(pending_.data() + start, nl - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (onLine) onLine(line);
        start = nl + 1;
    }
    pending_.erase(0, start);
    if (pending_.size() > kLineChunk) pending_.erase(0, pending_.size() - kLineChunk);
}

}  // namespace corvaline
