#pragma once
// Errors of libraries and the operating system, worded for the user where the engine knows
// the context.
//
// The engine's own user-facing failures are AudioFailure (audiocore/model/AudioFailure.hpp).
// File-system errors are FileError: a std::filesystem::filesystem_error whose what() says in
// a user's words what could not be done to which file and why ("Could not write “out.wav”:
// the disk is full."). A library that reports a text of its own (libsndfile, FFmpeg, libcurl,
// libtorch) is wrapped in LibraryError, whose what() is that library's text; callers that know
// the file word it for the user and keep the library's text on a second line at most.

#include <cerrno>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
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

/// A file-system error in a user's words. code() and path1() keep the system's facts.
class FileError : public std::filesystem::filesystem_error {
  public:
    FileError(std::string message, const std::filesystem::path& path, std::error_code code)
        : std::filesystem::filesystem_error(message, path, code), message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

  private:
    std::string message_;
};

/// How a path is shown in messages: its name (“out.wav”) in curly quotes. Working files (unnamed
/// ones reached through /proc/self/fd, hidden ".corvaline-"/".dsp-" names) are shown as "a working
/// file in “folder”", since their own names mean nothing to a user.
std::string quotedName(const std::filesystem::path& path);

/// The reason for `error` (an errno value) in a user's words, without a final period:
/// "the disk is full", "you do not have permission", ...
std::string errnoReason(int error);

/// "Could not <verb> <quotedName(path)>: <errnoReason(error)>." as a FileError. `verb` is
/// what was being done ("read", "write", "open", "create", "replace", "remove").
FileError fileError(std::string_view verb, const std::filesystem::path& path, int error = errno);

}  // namespace corvaline
