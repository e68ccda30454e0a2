#include "TestSupport.hpp"

#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "audiocore/platform/Paths.hpp"
#include "audiocore/platform/Uuid.hpp"

namespace fs = std::filesystem;

namespace corvaline::test {

TempDir::TempDir() {
    path_ = paths::temporaryFolder() / ("corvaline-test-" + newUuidString());
    fs::create_directories(path_);
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

void writeFile(const fs::path& path, const std::string& text, bool executable) {
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        if (!out) throw std::runtime_error("cannot write " + path.string());
        out << text;
    }
    if (executable) {
        fs::permissions(path,
                        fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec,
                        fs::perm_options::add);
    }
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string shellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char ch : text)
        quoted += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
    return quoted + "'";
}

ShellResult runShell(const std::string& command) {
    ShellResult result;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return result;
    char buffer[4096];
    size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        result.output.append(buffer, got);
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

fs::path cliProgram() {
    return paths::executableFolder() / "corvaline-cli";
}

pid_t spawn(const std::vector<std::string>& args, const std::vector<std::string>* environment) {
    std::vector<std::string> strings = args;
    std::vector<std::string> variables = environment ? *environment : std::vector<std::string>{};
    std::vector<char*> argv;
    for (auto& arg : strings)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& variable : variables)
        envp.push_back(variable.data());
    envp.push_back(nullptr);
    pid_t child = -1;
    if (args.empty() || posix_spawn(&child, argv[0], nullptr, nullptr, argv.data(),
                                    environment ? envp.data() : environ) != 0)
        return -1;
    return child;
}

bool holdsFileIn(pid_t pid, const fs::path& folder, const std::string& except) {
    std::error_code ec;
    const std::string prefix = folder.string() + "/";
    for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
        const auto target = fs::read_symlink(fd.path(), ec).string();
        if (target.rfind(prefix, 0) == 0 && target.find(except) == std::string::npos) return true;
    }
    return false;
}

std::vector<std::string> entries(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace corvaline::test
