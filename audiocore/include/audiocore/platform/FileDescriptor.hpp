#pragma once
// The engine's one owner of a raw file descriptor: closed on every way out of a scope,
// movable, never copied. Reads and writes retry on EINTR; a short read happens only at the
// end of the file.

#include <sys/types.h>

#include <cstddef>
#include <filesystem>

namespace corvaline {

class FileDescriptor {
  public:
    FileDescriptor() = default;
    /// Takes ownership of `fd` (a negative value holds nothing).
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() { reset(); }

    /// Opens `path` with `flags` (O_CLOEXEC is always added). Throws FileError naming the path
    /// in a user's words ("Could not open “x.wav”: it does not exist.").
    static FileDescriptor open(const std::filesystem::path& path, int flags, mode_t mode = 0644);

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    /// Gives up ownership and returns the descriptor.
    int release() noexcept {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    /// Closes the held descriptor (errors ignored) and holds `fd` instead.
    void reset(int fd = -1) noexcept;
    /// Closes now and returns 0, or the errno of a failed close (which can mean lost data
    /// after writing). Holds nothing afterwards.
    int close() noexcept;

    /// Reads up to `size` bytes at the current position; fewer only at the end of the file.
    /// Returns the count, or -1 with errno set on an error.
    ssize_t readFully(void* into, std::size_t size) noexcept;
    /// Writes all `size` bytes. Returns 0, or -1 with errno set on an error.
    int writeFully(const void* from, std::size_t size) noexcept;

  private:
    int fd_ = -1;
};

}  // namespace corvaline
