#pragma once
// Helpers shared by the fuzz targets.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>

namespace corvaline::fuzz {

/// The fuzz input as a file the engine can open by path: an anonymous in-memory file reached
/// through /proc/self/fd. Closed (and gone) when this goes out of scope.
class MemoryFile {
  public:
    MemoryFile(const uint8_t* data, size_t size) : fd_(::memfd_create("fuzz-input", MFD_CLOEXEC)) {
        if (fd_ < 0) std::abort();
        size_t done = 0;
        while (done < size) {
            const ssize_t put = ::write(fd_, data + done, size - done);
            if (put <= 0) std::abort();
            done += size_t(put);
        }
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    ~MemoryFile() { ::close(fd_); }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;
    const std::filesystem::path& path() const { return path_; }

  private:
    int fd_;
    std::filesystem::path path_;
};

/// A wrong result or an exception type the code under test should never let escape, in code
/// whose owner fixes it: reported, and fatal when CORVALINE_FUZZ_STRICT is set (so a long
/// campaign stops at the first one and keeps the input). Crashes and sanitizer reports are
/// always fatal.
inline void finding(const char* target, const std::string& what) {
    std::fprintf(stderr, "%s: finding: %s\n", target, what.c_str());
    if (std::getenv("CORVALINE_FUZZ_STRICT")) std::abort();
}

inline void unexpected(const char* target, const std::exception& error) {
    finding(target, std::string("unexpected exception: ") + error.what());
}

}  // namespace corvaline::fuzz
