#pragma once
// The engine's one user-facing error. what() is the complete message shown to the user,
// unchanged, in an alert titled "Audio Error".

#include <stdexcept>
#include <string>

namespace corvaline {

class AudioFailure : public std::runtime_error {
  public:
    explicit AudioFailure(const std::string& message) : std::runtime_error(message) {}
    /// The user-facing text (same as what()).
    std::string message() const { return what(); }
};

/// A library Corvaline needs could not be loaded on this computer. what() is complete: what
/// could not be done, the library, the Debian package that installs it, and the dynamic
/// loader's text on a second line. Neither the network, the disk nor the file at hand is the
/// cause, so it is shown as it is, never under another failure's advice.
class MissingLibrary : public AudioFailure {
  public:
    using AudioFailure::AudioFailure;
};

}  // namespace corvaline
