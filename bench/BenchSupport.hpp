#pragma once
// Pieces every benchmark program uses: sizes from the environment, a scratch folder removed at
// exit, peak memory, CPU time, and running a peer program.

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "audiocore/platform/Paths.hpp"
#include "audiocore/platform/Uuid.hpp"

namespace corvaline::bench {

/// The number in environment variable `name`, or `fallback` when unset or below 1.
inline double environmentNumber(const char* name, double fallback) {
    const char* text = std::getenv(name);
    const double value = text ? std::atof(text) : fallback;
    return value >= 1 ? value : fallback;
}

/// Peak resident memory of this process (VmHWM), in MB.
inline double peakMB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::atof(line.c_str() + 6) / 1024;
    }
    return 0;
}

/// User plus system CPU seconds of this process (RUSAGE_SELF) or of its reaped children
/// (RUSAGE_CHILDREN).
inline double cpuSeconds(int who) {
    rusage usage{};
    getrusage(who, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

/// Runs `command` through the shell and returns what it printed on standard output.
inline std::string runCommand(const std::string& command) {
    std::string output;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        size_t got = 0;
        while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
            output.append(buffer, got);
        pclose(pipe);
    }
    return output;
}

/// One scratch folder per benchmark program, removed with everything in it at exit.
struct Workspace {
    std::filesystem::path folder =
        paths::temporaryFolder() / ("corvaline-bench-" + newUuidString());
    Workspace() { std::filesystem::create_directories(folder); }
    ~Workspace() {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
};

inline Workspace& workspace() {
    static Workspace instance;
    return instance;
}

}  // namespace corvaline::bench
