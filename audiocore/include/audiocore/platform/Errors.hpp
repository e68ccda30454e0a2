#pragma once
// Errors of libraries and the operating system that pass through the engine unchanged.
//
// The engine's own user-facing failures are AudioFailure (audiocore/model/AudioFailure.hpp).
// File-system errors use std::filesystem::filesystem_error / std::system_error; a library that
// reports a text of its own (libsndfile, FFmpeg, libcurl, libtorch) is wrapped in LibraryError,
// whose what() is that library's text.

#include <stdexcept>
#include <string>
#include <system_error>

namespace corvaline {

/// An error reported by a third-party library, carrying the library's own text.
class LibraryError : public std::runtime_error {
  public:
    LibraryError(std::string library, const std::string& message)
        : std::runtime_error(message), library_(std::move(library)) {}
    /// Short name of the library that failed ("libsndfile", "FFmpeg", ...).
    const std::string& library() const noexcept { return library_; }

  private:
    std::string library_;
};

/// A std::system_error for the current errno, naming what was attempted.
inline std::system_error systemError(const std::string& what) {
    return std::system_error(errno, std::generic_category(), what);
}

}  // namespace corvaline
