#include "audiocore/platform/FailureText.hpp"

#include <cctype>
#include <filesystem>
#include <new>
#include <system_error>

#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/platform/Errors.hpp"

namespace corvaline {
namespace {

// The reason behind a system error code, in the words the file errors use.
std::string reason(const std::error_code& code) {
    if (code.category() == std::generic_category() || code.category() == std::system_category())
        return errnoReason(code.value());
    std::string text = code.message();
    if (!text.empty()) text[0] = char(std::tolower(static_cast<unsigned char>(text[0])));
    return text;
}

// A file by its name; a name without an extension (mostly a folder: "Runtime", "Models") says
// too little on its own, so it is given with its whole path.
std::string shown(const std::filesystem::path& path) {
    return "\u201c" + (path.has_extension() ? path.filename() : path).string() + "\u201d";
}

// The first line of a library's failure: what the user was doing when it failed (a failed
// download is not a problem with the audio).
std::string libraryTask(const LibraryError& error) {
    const std::string& name = error.library();
    if (name == "libcurl") return "The download could not finish.";
    if (name == "OpenSSL") return "The download could not be verified.";
    if (name == "libtorch") return "The restoration model could not run.";
    return name + " could not process the audio.";
}

}  // namespace

std::string describeFailure(const std::exception& error) {
    if (dynamic_cast<const AudioFailure*>(&error)) return error.what();
    if (dynamic_cast<const FileError*>(&error)) return error.what();
    if (const auto* fs = dynamic_cast<const std::filesystem::filesystem_error*>(&error)) {
        if (!fs->path1().empty())
            return "Could not use " + shown(fs->path1()) + ": " + reason(fs->code()) + ".";
        return "A file operation failed: " + reason(fs->code()) + ".";
    }
    if (const auto* library = dynamic_cast<const LibraryError*>(&error))
        return libraryTask(*library) + "\n" + library->what();
    if (const auto* system = dynamic_cast<const std::system_error*>(&error))
        return "The operation failed: " + reason(system->code()) + ".\n" + system->what();
    if (dynamic_cast<const std::bad_alloc*>(&error))
        return "There is not enough memory to finish this operation.";
    const char* text = error.what();
    if (text == nullptr || *text == '\0') return "The operation failed.";
    return std::string("The operation failed.\n") + text;
}

std::string describeFailure(const std::exception_ptr& error) {
    try {
        if (error) std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return describeFailure(e);
    } catch (...) {
    }
    return "The operation failed.";
}

}  // namespace corvaline
