#pragma once
// Cooperative cancellation for background work.
//
// A task carries a std::stop_token; engine loops call throwIfCancelled() once per block.
// Cancellation is its own outcome: `Cancelled` carries no message and is never an
// AudioFailure, so callers can show a short status ("Render cancelled") instead of an alert.

#include <exception>
#include <stop_token>

namespace corvaline {

/// Thrown when the calling task was cancelled. what() is empty by design.
class Cancelled final : public std::exception {
  public:
    const char* what() const noexcept override { return ""; }
};

/// Throws Cancelled when `token` has been asked to stop. A default token never stops.
inline void throwIfCancelled(const std::stop_token& token) {
    if (token.stop_requested()) throw Cancelled();
}

/// True when `token` has been asked to stop.
inline bool isCancelled(const std::stop_token& token) noexcept {
    return token.stop_requested();
}

}  // namespace corvaline
