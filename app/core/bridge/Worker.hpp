#pragma once
// The bridge between the GUI thread and the engine: one background operation at a time.
//
// A Worker is the handle of one operation (import, render, export, measurement, ...). The
// operation runs as a sequence of steps; each step is a function that runs on a thread of the
// owner's pool with the operation's stop token and a progress callback. Progress is rate
// limited (about ten reports a second, never backwards within a step) and, like the step's
// result, its failure or its cancellation, delivered on the GUI thread as a queued call on the
// owner's context object. The pool must belong to the context object (declared after the
// members the steps' results touch), so that every step has ended before the context goes.
//
// Cancelling the worker asks the running step to stop (the engine checks once per block) and
// makes every later step fail at once with Cancelled. The GUI thread never waits for a step.

#include <QObject>
#include <QString>
#include <QThreadPool>

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <type_traits>
#include <utility>

#include "audiocore/platform/Cancellation.hpp"
#include "audiocore/platform/Progress.hpp"

namespace corvaline::app {

/// The text shown in the "Audio Error" alert for a failure (describeFailure): an AudioFailure's
/// message unchanged; a platform or library error in a user's words naming what failed, with
/// the library's own text on a second line at most.
QString alertText(const std::exception& error);
QString alertText(const std::exception_ptr& error);

/// How one step ended: a value, a cancellation (no message) or a failure text for the user.
template <class T>
struct StepOutcome {
    std::optional<T> value;
    bool cancelled = false;
    QString error;
    bool succeeded() const { return value.has_value(); }
};

/// Stand-in result type of steps that return nothing.
struct Done {};

class Worker : public std::enable_shared_from_this<Worker> {
  public:
    /// Steps run on `pool`; results are delivered on the thread of `context`.
    Worker(QObject* context, QThreadPool* pool) : context_(context), pool_(pool) {}

    /// Asks the running step to stop; later steps fail at once with Cancelled.
    void cancel() { stop_.request_stop(); }
    bool isCancelled() const { return stop_.stop_requested(); }
    std::stop_token token() const { return stop_.get_token(); }

    /// Runs `step(token, progress)` off the GUI thread. `onProgress` (may be empty) receives
    /// each rate-limited fraction on the GUI thread; `done` receives the outcome there.
    template <class Step, class Done>
    void run(Step step, std::function<void(double)> onProgress, Done done) {
        using Raw = std::invoke_result_t<Step, std::stop_token, const ProgressCallback&>;
        using T = std::conditional_t<std::is_void_v<Raw>, app::Done, Raw>;
        QObject* context = context_;
        auto token = stop_.get_token();
        pool_->start([context, token, step = std::move(step), onProgress = std::move(onProgress),
                      done = std::move(done)]() mutable {
            ProgressCallback forward;
            if (onProgress) {
                forward = [context, onProgress](double fraction) {
                    post(context, [onProgress, fraction] { onProgress(fraction); });
                };
            }
            ProgressLimiter limiter(std::move(forward));
            const ProgressCallback progress = [&limiter](double f) { limiter.report(f); };
            auto outcome = std::make_shared<StepOutcome<T>>();
            try {
                throwIfCancelled(token);
                if constexpr (std::is_void_v<Raw>) {
                    step(token, progress);
                    outcome->value = T{};
                } else {
                    outcome->value.emplace(step(token, progress));
                }
            } catch (const Cancelled&) {
                outcome->cancelled = true;
            } catch (...) {
                if (token.stop_requested()) {
                    outcome->cancelled = true;
                } else {
                    outcome->error = alertText(std::current_exception());
                }
            }
            post(context,
                 [done = std::move(done), outcome]() mutable { done(std::move(*outcome)); });
        });
    }

    /// Queues `call` on the thread of `context`.
    static void post(QObject* context, std::function<void()> call);

  private:
    QObject* context_;
    QThreadPool* pool_;
    std::stop_source stop_;
};

}  // namespace corvaline::app
