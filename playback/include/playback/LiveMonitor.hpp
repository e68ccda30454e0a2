#pragma once
// LiveMonitor plays a MonitorStream through the audio output in real time and keeps the
// meters of the block that was played last.
//
// Three contexts meet here. The owner's thread constructs the monitor and calls stop(),
// update(), currentTime() and snapshot(). The engine's threads deliver buffer completions and
// the output tap. One serial queue, labelled "Corvaline.monitor", does all stream work: it is
// the only user of the stream and of the scheduling counters. The snapshot is written on the
// queue and read by the owner, always under one short lock.
//
// Blocks of 1024 frames, at most three queued ahead of the player (3072 frames, 64 ms at
// 48 kHz): the meters lag what is heard by at most that much, and an update() is heard after
// the queued blocks. All finishing DSP runs on the queue, never on the audio thread; the queue
// asks for real-time (or raised nice) priority and keeps going at normal priority where the
// system refuses. Blocks are filled in place from a small pool, so steady playback allocates no
// audio buffers.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audiocore/model/AudioBuffer.hpp"
#include "audiocore/model/AudioInfo.hpp"
#include "audiocore/model/ProcessingSettings.hpp"
#include "audiocore/monitor/MonitorStream.hpp"

namespace corvaline {

class LiveMonitor {
  public:
    /// Frames per block pulled from the stream.
    static constexpr int64_t kBlockFrames = 1024;
    /// Blocks kept scheduled ahead of the player.
    static constexpr int kQueuedBlocks = 3;
    /// Label of the monitor's serial queue.
    static constexpr const char* kQueueLabel = "Corvaline.monitor";

    /// Meters of the last consumed block, the finish flag and a streaming error.
    struct Snapshot {
        bool finished = false;  ///< the stream ended and every scheduled block was consumed
        std::vector<double> output{kMeterFloorDB, kMeterFloorDB};  ///< dBFS, left/right
        std::vector<double> channels;                              ///< dBFS per channel
        double compressorReduction = 0;                            ///< dB
        double limiterReduction = 0;                               ///< dB
        std::vector<double> bleedReduction{0, 0};                  ///< dB per lav
        std::vector<double> levelerGain;                           ///< dB per channel
        bool normalizationSuspended = false;
        std::optional<std::string> error;  ///< description of a failure while streaming
        friend bool operator==(const Snapshot&, const Snapshot&) = default;
    };

    /// Receives every output buffer (non-interleaved stereo float) on the engine's tap thread.
    using OutputObserver = std::function<void(const AudioBuffer&)>;

    /// Figures for performance reports.
    struct Statistics {
        /// From the start of construction to the first audio callback, seconds.
        std::optional<double> startupSeconds;
        /// CPU time the queue spent pulling blocks from the stream, seconds.
        double streamCpuSeconds = 0;
        /// Blocks pulled from the stream.
        int64_t blocks = 0;
        /// Silence frames the player had to insert between blocks (starvation).
        int64_t underrunFrames = 0;
    };

    /// Prefills three blocks on the queue, opens the output and starts playing. The stream's
    /// failure while prefilling, and AudioOutputError when the output cannot start, end
    /// construction; nothing plays then.
    explicit LiveMonitor(std::unique_ptr<MonitorStream> stream, OutputObserver outputObserver = {});
    /// Stops the player and the engine and waits for the queue.
    ~LiveMonitor();
    LiveMonitor(const LiveMonitor&) = delete;
    LiveMonitor& operator=(const LiveMonitor&) = delete;

    /// Stops playback for good. When it returns no block is scheduled any more and no later
    /// completion changes the snapshot.
    void stop();

    /// Forwards a live edit to the stream on the queue; heard after the queued blocks.
    void update(const ProcessingSettings& settings, const std::vector<ChannelSettings>& channels,
                double gain);

    /// Seconds played since the start of the stream, in [0, duration()]; 0 before the output
    /// has rendered anything and after stop().
    double currentTime() const;

    /// A copy of the snapshot, taken under the lock.
    Snapshot snapshot() const;

    /// Length of the stream in seconds.
    double duration() const;

    Statistics statistics() const;

  private:
    struct Core;
    std::shared_ptr<Core> core_;
};

}  // namespace corvaline
