#pragma once
// Helpers of the installer tests.

#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
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

}  // namespace corvaline::test
