#pragma once
// Real-time audio output: an engine driving the default output device through SDL2, with one
// player node that plays scheduled buffers back to back.
//
// Threads. The device's audio callback only copies samples: it takes no lock, never waits,
// never allocates, never throws and never runs user code. Scheduled buffers reach it through a
// single-producer single-consumer ring, completions and output taps leave it through another
// (handled in order on worker threads of the engine), and the play position and underrun count
// are atomics. schedule(), play(), stop() and playerTime() may be called from any thread;
// concurrent schedule() calls are serialised among themselves, never against the callback.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "audiocore/model/AudioBuffer.hpp"
#include "audiocore/model/AudioFailure.hpp"

namespace corvaline::playback {

class Handoff;
template <typename T>
class SpscRing;

/// When a scheduled buffer's completion handler is called.
enum class CompletionType {
    dataConsumed,    ///< the player has copied the buffer's last frame to the device
    dataPlayedBack,  ///< the device has taken the buffer's last frame (one callback later)
};

/// Position of the player: frames of scheduled audio it has rendered since play().
struct PlayerTime {
    int64_t sampleTime = 0;
    double sampleRate = 0;
};

/// Fails to open or start the output. what() is the user's message, complete: which output
/// failed, what went wrong and what to try, with SDL's own text on a second line (or that
/// SDL2 itself could not be loaded and which package installs it).
class AudioOutputError : public AudioFailure {
  public:
    using AudioFailure::AudioFailure;
};

class PlayerNode {
  public:
    using Completion = std::function<void()>;

    /// Buffers that may be scheduled and not yet completed at once.
    static constexpr size_t kMaxScheduled = 64;

    /// A player for non-interleaved float buffers of `channels` channels at `sampleRate`.
    PlayerNode(double sampleRate, int channels);
    ~PlayerNode();
    PlayerNode(const PlayerNode&) = delete;
    PlayerNode& operator=(const PlayerNode&) = delete;

    double sampleRate() const { return sampleRate_; }
    int channelCount() const { return channels_; }

    /// Appends `buffer` (channelCount() channels; its frameLength() frames play) to the play
    /// queue. `completion` (may be empty) runs on the player's completion thread as `type`
    /// says. Throws std::invalid_argument for a wrong channel count and std::length_error when
    /// kMaxScheduled buffers are pending.
    void schedule(std::shared_ptr<const AudioBuffer> buffer, CompletionType type,
                  Completion completion);
    /// Starts (or resumes) rendering the queued buffers.
    void play();
    /// Stops rendering and discards every scheduled buffer; their completions are dropped
    /// unless already due. The player time becomes unavailable until the next play().
    void stop();
    bool isPlaying() const;
    /// The player's position, or none before it has rendered anything since play().
    std::optional<PlayerTime> playerTime() const;
    /// Frames of silence rendered between two scheduled frames while playing (starvation).
    int64_t underrunFrames() const;

    /// The engine's render call, on the audio thread: writes `frames` interleaved frames of
    /// `outputChannels` channels into `out` (silence where nothing is scheduled). A mono
    /// player feeds every output channel; extra player channels beyond the output are dropped.
    void render(float* out, uint32_t frames, int outputChannels) noexcept;

  private:
    struct Entry {
        std::shared_ptr<const AudioBuffer> buffer;
        CompletionType type = CompletionType::dataConsumed;
        Completion completion;
    };
    /// Marks a slot handed to the completion thread for release without its completion.
    static constexpr uint32_t kDiscarded = 0x80000000u;
    static constexpr uint32_t kNoSlot = 0xffffffffu;
    void complete(uint32_t value);

    const double sampleRate_;
    const int channels_;
    std::vector<Entry>
        slots_;             ///< written by schedule(), read by the renderer, reset on completion
    std::mutex producers_;  ///< serialises schedule() and slot release; never the callback
    std::vector<uint32_t> free_;                     ///< unused slots (under producers_)
    std::unique_ptr<SpscRing<uint32_t>> scheduled_;  ///< slots in play order
    /// Held by the renderer for one callback, or by stop() while it discards; whoever finds it
    /// taken by stop() renders silence instead of waiting.
    std::atomic<bool> rendering_{false};
    // Renderer state (touched only while holding rendering_):
    uint32_t current_ = kNoSlot;      ///< slot being played
    uint32_t offset_ = 0;             ///< frames of the current buffer already rendered
    std::vector<uint32_t> awaiting_;  ///< played-back slots due at the next render
    size_t awaitingCount_ = 0;
    int64_t starving_ = 0;
    // Shared with any thread:
    std::atomic<bool> playing_{false};
    std::atomic<bool> rendered_{false};  ///< a render ran since play()
    std::atomic<int64_t> sampleTime_{0};
    std::atomic<int64_t> underruns_{0};
    std::unique_ptr<Handoff> completions_;
};

/// The engine: the output device, its one player node and an optional tap on the output.
class AudioEngine {
  public:
    /// Receives each output buffer (non-interleaved float, the device's channel count).
    using TapObserver = std::function<void(const AudioBuffer&)>;

    AudioEngine();
    /// Stops the device.
    ~AudioEngine();
    AudioEngine(const AudioEngine&) = delete;
    AudioEngine& operator=(const AudioEngine&) = delete;

    /// Creates the player for buffers of `channels` channels at `sampleRate` and connects it
    /// to the output; the device is opened in that format (SDL converts where the hardware
    /// differs). Must precede start().
    PlayerNode& connectPlayer(double sampleRate, int channels);
    /// The connected player (std::logic_error before connectPlayer()).
    PlayerNode& player();
    /// Passes every output buffer (at most `bufferSize` frames) to `observer` on the tap
    /// thread. Must precede start(). Buffers are dropped if the observer falls far behind.
    void installTap(uint32_t bufferSize, TapObserver observer);
    /// Opens and starts the default output device (SDL_AUDIODRIVER / SDL_DISKAUDIOFILE are
    /// honoured). SDL2 itself is opened by the first start() of the process. Throws
    /// AudioOutputError naming the sound system or device that failed, or SDL2 and its package
    /// when the library cannot be loaded; nothing is left open then.
    void start();
    /// Stops and closes the device; no callback runs after it returns. Idempotent.
    void stop();
    bool isRunning() const { return device_ != 0; }
    /// Time of the first audio callback after start(), if there was one.
    std::optional<std::chrono::steady_clock::time_point> firstCallback() const;
    /// Output frames rendered by the device callback since start().
    int64_t renderedFrames() const { return renderedFrames_.load(std::memory_order_relaxed); }

  private:
    static void callback(void* user, uint8_t* stream, int length);
    int deviceChannels() const;
    void deliverTap(uint32_t slot);

    std::unique_ptr<PlayerNode> player_;
    uint32_t device_ = 0;
    int outputChannels_ = 2;
    bool sdlStarted_ = false;
    TapObserver tapObserver_;
    uint32_t tapSize_ = 0;
    std::vector<AudioBuffer> tapBuffers_;
    std::vector<std::atomic<bool>> tapBusy_;
    uint32_t tapNext_ = 0;  ///< audio thread only
    std::unique_ptr<Handoff> tap_;
    std::atomic<int64_t> firstCallbackNs_{-1};
    std::atomic<int64_t> renderedFrames_{0};
};

}  // namespace corvaline::playback
