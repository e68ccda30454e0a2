// The words a user reads for a failure: the engine's refusals as they are, and a library's or
// the system's own text never alone, always under a first line that says what failed.

#include <gtest/gtest.h>

#include <filesystem>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>

#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/platform/Errors.hpp"
#include "audiocore/platform/FailureText.hpp"

using namespace corvaline;
namespace fs = std::filesystem;

namespace {

std::string firstLine(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

TEST(FailureText, TheEnginesRefusalsPassUnchanged) {
    EXPECT_EQ(describeFailure(AudioFailure("Choose a non-empty audio range.")),
              "Choose a non-empty audio range.");
    const std::string missing =
        "Could not read \u201ct.m4a\u201d: Corvaline reads compressed audio through FFmpeg's "
        "libraries, and they could not be loaded.\n/nonexistent/libavcodec.so.59: cannot open";
    EXPECT_EQ(describeFailure(MissingLibrary(missing)), missing);
    EXPECT_EQ(describeFailure(fileError("write", "/tmp/x/out.wav", ENOSPC)),
              "Could not write \u201cout.wav\u201d: the disk is full.");
}

TEST(FailureText, LibraryAndSystemTextNeverStandsAlone) {
    // A library's failure: what the user was doing, then the library's sentence.
    EXPECT_EQ(describeFailure(LibraryError("libsndfile", "SF_INFO struct incomplete")),
              "libsndfile could not process the audio.\nSF_INFO struct incomplete");
    EXPECT_EQ(describeFailure(LibraryError("libcurl", "Could not resolve host: example.org")),
              "The download could not finish.\nCould not resolve host: example.org");
    EXPECT_EQ(firstLine(describeFailure(LibraryError("OpenSSL", "x"))),
              "The download could not be verified.");
    EXPECT_EQ(firstLine(describeFailure(LibraryError("libtorch", "shape mismatch"))),
              "The restoration model could not run.");

    // The file system's: the file by its name, a folder by its whole path, and the reason in
    // the words of the engine's own file errors (not "filesystem error: … [path]").
    EXPECT_EQ(describeFailure(fs::filesystem_error(
                  "write", "/tmp/x/out.wav", std::make_error_code(std::errc::no_space_on_device))),
              "Could not use \u201cout.wav\u201d: the disk is full.");
    EXPECT_EQ(describeFailure(fs::filesystem_error(
                  "cannot create directories", "/home/a/.local/share/Corvaline/Runtime",
                  std::make_error_code(std::errc::permission_denied))),
              "Could not use \u201c/home/a/.local/share/Corvaline/Runtime\u201d: you do not have "
              "permission.");
    EXPECT_EQ(describeFailure(fs::filesystem_error(
                  "x", std::make_error_code(std::errc::read_only_file_system))),
              "A file operation failed: the disk is read-only.");

    // Other system errors keep the system's text below the user's words.
    const std::string system = describeFailure(
        std::system_error(std::make_error_code(std::errc::too_many_files_open), "spawn"));
    EXPECT_EQ(firstLine(system), "The operation failed: too many files are open.");
    EXPECT_NE(system.find("\nspawn"), std::string::npos) << system;

    EXPECT_EQ(describeFailure(std::bad_alloc()),
              "There is not enough memory to finish this operation.");
    EXPECT_EQ(describeFailure(std::invalid_argument("Tensor: negative dimension")),
              "The operation failed.\nTensor: negative dimension");
    EXPECT_EQ(describeFailure(std::runtime_error("")), "The operation failed.");
    EXPECT_EQ(describeFailure(std::exception_ptr()), "The operation failed.");
    EXPECT_EQ(describeFailure(std::make_exception_ptr(42)), "The operation failed.");
    EXPECT_EQ(describeFailure(std::make_exception_ptr(AudioFailure("As is."))), "As is.");
}

}  // namespace
