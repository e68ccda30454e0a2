#pragma once
// Helpers shared by the test suites.

#include <filesystem>
#include <string>

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

/// Whole contents of a file.
std::string readFile(const std::filesystem::path& path);

}  // namespace corvaline::test
