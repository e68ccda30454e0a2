#pragma once
// Helpers of the installer tests.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.hpp"

namespace corvaline::test {

/// SHA-256 of a file computed by the system's sha256sum program (an independent reference).
inline std::string referenceSha256(const std::filesystem::path& file) {
    const ShellResult result = runShell("sha256sum " + shellQuote(file.string()));
    if (result.status != 0 || result.output.size() < 64) {
        throw std::runtime_error("sha256sum gave no digest");
    }
    return result.output.substr(0, 64);
}

/// Deterministic pseudo-random bytes.
inline std::string randomBytes(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (auto& b : bytes)
        b = static_cast<char>(generator() & 0xff);
    return bytes;
}

/// Names in `folder` that begin with `prefix` (hidden temporary and staging items).
inline std::vector<std::string> entriesStartingWith(const std::filesystem::path& folder,
                                                    const std::string& prefix) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(prefix, 0) == 0) names.push_back(name);
    }
    return names;
}

/// The environment variable that tells a test started by startTestChild() where to work.
inline constexpr const char* kChildRootVariable = "CORVALINE_TEST_CHILD_ROOT";

/// Starts this test program again running only `test` (a DISABLED_ case that does nothing
/// unless kChildRootVariable is set), with that variable set to `root` and its temporary folder
/// inside `root`, so that whatever the child leaves when it is killed goes with the caller's
/// folder. Returns the child's process id (-1 when it could not be started).
inline pid_t startTestChild(const std::string& test, const std::filesystem::path& root) {
    std::filesystem::create_directories(root / "tmp");
    // Ours first: the first of two equal names is the one a program sees.
    std::vector<std::string> environment{std::string(kChildRootVariable) + "=" + root.string(),
                                         "TMPDIR=" + (root / "tmp").string()};
    for (char** variable = environ; *variable; ++variable)
        environment.emplace_back(*variable);
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    return spawn({self, "--gtest_filter=" + test, "--gtest_also_run_disabled_tests"}, &environment);
}

/// Waits up to a minute for `condition`; false when it did not come true in time or `child`
/// ended before it did.
inline bool waitWhileRunning(pid_t child, const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        int status = 0;
        if (::waitpid(child, &status, WNOHANG) == child) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

/// Kills `child` outright (no clean-up of its own runs) and reaps it.
inline void killChild(pid_t child) {
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
}

}  // namespace corvaline::test
