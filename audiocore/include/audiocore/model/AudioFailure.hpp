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

}  // namespace corvaline
