#pragma once
// One QApplication for the whole suite, created before the first test on the offscreen
// platform with the window's theme, and a helper that runs the event loop until a condition
// holds.

#include <functional>

namespace corvaline::test {

/// Processes events until `done` returns true or `timeoutMs` passes; returns `done()`.
bool waitUntil(const std::function<bool()>& done, int timeoutMs = 60000);

/// Processes pending events for about `ms` milliseconds.
void pump(int ms = 50);

}  // namespace corvaline::test
