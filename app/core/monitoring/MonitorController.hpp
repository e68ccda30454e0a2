#pragma once
// MonitorController: owns the running LiveMonitor and the static meters for AppState, and
// keeps every blocking part of them off the GUI thread.
//
// - The running monitor is created for the playback start step on the queue (opening the
//   output device can take a while, and must follow the closing of the previous one) and
//   handed over with adopt(). The GUI thread then only
//   reads its snapshot and position and forwards live edits; all of these take the monitor's
//   short lock or hop to its queue asynchronously.
// - Stopping hands the monitor to a private serial queue, which stops the player, closes the
//   output and releases it there.
// - The static meters (shown while stopped) read up to 1024 frames at the cursor from a file
//   opened on the same queue; the levels come back as a queued call. A newer request makes
//   older results stale, so the latest request always wins.

#include <QObject>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "audiocore/model/ProcessingSettings.hpp"
#include "playback/LiveMonitor.hpp"

namespace corvaline::playback {
class SerialQueue;
}

namespace corvaline::app {

class MonitorController {
  public:
    /// Results are delivered on the thread of `context` (the GUI thread).
    explicit MonitorController(QObject* context);
    /// Retires the monitor and waits for the queue.
    ~MonitorController();
    MonitorController(const MonitorController&) = delete;
    MonitorController& operator=(const MonitorController&) = delete;

    /// Creates a LiveMonitor for `stream` on the queue, after every monitor retired before has
    /// closed the output (some output drivers allow one open device only). Call it from a
    /// worker thread, never from the GUI thread: it waits for the queue. Construction failures
    /// propagate.
    std::unique_ptr<LiveMonitor> open(std::unique_ptr<MonitorStream> stream);
    /// Makes `monitor` the running monitor (retiring any previous one).
    void adopt(std::unique_ptr<LiveMonitor> monitor);
    /// The running monitor, or nullptr.
    LiveMonitor* monitor() const { return monitor_.get(); }
    bool running() const { return monitor_ != nullptr; }
    /// Seconds played by the running monitor (0 without one).
    double currentTime() const;
    /// Hands the running monitor to the queue to be stopped and released.
    void retire();
    /// Releases `monitor` on the queue (for a monitor that was never adopted).
    void retire(std::unique_ptr<LiveMonitor> monitor);
    /// Forwards a live edit to the running monitor, if any.
    void update(const ProcessingSettings& settings, const std::vector<ChannelSettings>& channels,
                double gain);

    /// Static meters: reads from `url` from now on (none when it cannot be opened).
    void setMeterFile(const std::filesystem::path& url);
    /// Drops the static meter file.
    void clearMeterFile();
    /// Levels per channel (dBFS, floor -90) of up to 1024 frames at `seconds` of the meter
    /// file, delivered to `done` on the GUI thread; none when reading failed, when there is no
    /// meter file, or when a newer request was made meanwhile (then `done` is not called).
    void requestMeters(double seconds,
                       std::function<void(std::optional<std::vector<double>>)> done);

    /// Waits until everything handed to the queue so far has run (tests, shutdown).
    void flush();

  private:
    struct MeterState;
    QObject* context_;
    std::unique_ptr<LiveMonitor> monitor_;
    std::shared_ptr<MeterState> meters_;
    std::unique_ptr<playback::SerialQueue> queue_;
};

}  // namespace corvaline::app
