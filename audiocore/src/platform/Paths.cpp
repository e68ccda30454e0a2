#include "audiocore/platform/Paths.hpp"

#include <cstdlib>
#include <system_error>

namespace fs = std::filesystem;

namespace corvaline::paths {

static fs::path fromEnv(const char* name) {
    const char* value = std::getenv(name);
    if (value && *value) return fs::path(value);
    return {};
}

fs::path modelFolder() {
    fs::path base = fromEnv("XDG_DATA_HOME");
    if (base.empty()) {
        fs::path home = fromEnv("HOME");
        if (home.empty()) home = "/tmp";
        base = home / ".local" / "share";
    }
    return base / "Corvaline";
}

fs::path temporaryFolder() {
    fs::path tmp = fromEnv("TMPDIR");
    return tmp.empty() ? fs::path("/tmp") : tmp;
}

fs::path executableFolder() {
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return fs::current_path();
    return exe.parent_path();
}

fs::path resourceFolder(const fs::path& name) {
    const fs::path exeDir = executableFolder();
    const fs::path candidates[] = {exeDir / name,
                                   exeDir.parent_path() / "share" / "corvaline" / name};
    std::error_code ec;
    for (const auto& candidate : candidates) {
        if (fs::exists(candidate, ec)) return candidate;
    }
    return candidates[0];
}

}  // namespace corvaline::paths
