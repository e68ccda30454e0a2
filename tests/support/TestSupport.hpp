#pragma once
// Helpers shared by the test suites.

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace corvaline::test {

/// A fresh folder under the system temporary folder, removed with everything in it when the
/// object goes out of scope.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

  private:
    std::filesystem::path path_;
};

/// Writes `text` to `path` (binary); marks it executable when `executable`.
void writeFile(const std::filesystem::path& path, const std::string& text, bool executable = false);

/// The names of the entries of `folder`, sorted.
std::vector<std::string> entries(const std::filesystem::path& folder);

/// Whole contents of a file.
std::string readFile(const std::filesystem::path& path);

/// `text` in single quotes for /bin/sh.
std::string shellQuote(const std::string& text);

/// What a shell command printed on standard output, and its exit status (-1 when it did not
/// exit normally).
struct ShellResult {
    int status = -1;
    std::string output;
};
/// Runs `command` through /bin/sh and collects its standard output.
ShellResult runShell(const std::string& command);

/// The command-line program beside the running test executable.
std::filesystem::path cliProgram();

/// Starts `args[0]` with the arguments `args` without waiting for it, with `environment`
/// ("NAME=value" entries) or, when none is given, this process's environment. Returns the
/// child's process id, or -1 when it could not be started.
pid_t spawn(const std::vector<std::string>& args,
            const std::vector<std::string>* environment = nullptr);

/// True when process `pid` holds an open file in `folder` whose path does not contain
/// `except` (an unnamed working file shows only among the process's descriptors).
bool holdsFileIn(pid_t pid, const std::filesystem::path& folder, const std::string& except);

}  // namespace corvaline::test
