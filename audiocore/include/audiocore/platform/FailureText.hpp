#pragma once
// The words a user reads for any failure that reaches a front end (the app's alerts, the
// command line's last line). The engine's own refusals are complete already and pass
// unchanged; everything else gets a first line in the user's words saying what failed, and a
// library's or the system's own text may follow only on a second line.

#include <exception>
#include <string>

namespace corvaline {

/// The user's text for `error`:
/// - AudioFailure (and its kinds) and FileError: what() unchanged;
/// - a file-system error: "Could not use “out.wav”: the disk is full." (a path without an
///   extension, mostly a folder, is shown whole);
/// - LibraryError: what the user was doing when the library failed ("The download could not
///   finish.", "libsndfile could not process the audio.") and the library's text below;
/// - another system error: "The operation failed: <reason>." and the system's text below;
/// - memory exhausted: "There is not enough memory to finish this operation.";
/// - anything else: "The operation failed." with its text, if any, below.
std::string describeFailure(const std::exception& error);

/// The same for a captured failure; "The operation failed." for none or a non-exception.
std::string describeFailure(const std::exception_ptr& error);

}  // namespace corvaline
