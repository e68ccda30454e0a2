// The output engine over SDL2's pull callback.

#include <SDL.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "Handoff.hpp"
#include "audiocore/platform/SharedLibrary.hpp"
#include "playback/AudioEngine.hpp"

namespace corvaline::playback {

namespace {

// SDL's subsystem initialisation is reference-counted but not thread-safe.
std::mutex& sdlMutex() {
    static std::mutex mutex;
    return mutex;
}

/// SDL2, opened the first time a sound is played rather than by the dynamic loader at
/// start-up (with the display and sound-server libraries it pulls in), and the functions of
/// it the engine calls.
class SDLLibrary : public LazyLibraries {
  public:
    SDLLibrary() : LazyLibraries({{"libSDL2-2.0.so.0"}, "SDL2", "plays sound", "libsdl2-2.0-0"}) {}

    CORVALINE_LIBRARY_FUNCTION(SDL_InitSubSystem);
    CORVALINE_LIBRARY_FUNCTION(SDL_QuitSubSystem);
    CORVALINE_LIBRARY_FUNCTION(SDL_GetError);
    CORVALINE_LIBRARY_FUNCTION(SDL_OpenAudioDevice);
    CORVALINE_LIBRARY_FUNCTION(SDL_PauseAudioDevice);
    CORVALINE_LIBRARY_FUNCTION(SDL_CloseAudioDevice);
};

/// The library (unloaded until the first start(): every call into it follows one).
const SDLLibrary& sdl() {
    static const SDLLibrary library;
    return library;
}

constexpr uint32_t kDeviceFrames = 1024;
constexpr size_t kTapBuffers = 16;

}  // namespace

AudioEngine::AudioEngine() = default;

AudioEngine::~AudioEngine() {
    stop();
    tap_.reset();
    player_.reset();
}

PlayerNode& AudioEngine::connectPlayer(double sampleRate, int channels) {
    if (device_ != 0) throw std::logic_error("AudioEngine: connect before start");
    if (!(sampleRate >= 1) || sampleRate > double(std::numeric_limits<int>::max())) {
        throw std::invalid_argument("AudioEngine: unsupported sample rate");
    }
    player_ = std::make_unique<PlayerNode>(sampleRate, channels);
    return *player_;
}

PlayerNode& AudioEngine::player() {
    if (!player_) throw std::logic_error("AudioEngine: no player connected");
    return *player_;
}

void AudioEngine::installTap(uint32_t bufferSize, TapObserver observer) {
    if (device_ != 0) throw std::logic_error("AudioEngine: install the tap before start");
    if (!observer) return;
    tapObserver_ = std::move(observer);
    tapSize_ = std::max<uint32_t>(bufferSize, 1);
    if (!player_) throw std::logic_error("AudioEngine: connect the player before the tap");
    outputChannels_ = deviceChannels();
    tapBuffers_.assign(kTapBuffers, AudioBuffer(outputChannels_, tapSize_));
    tapBusy_ = std::vector<std::atomic<bool>>(kTapBuffers);
    tap_ = std::make_unique<Handoff>(
        kTapBuffers, [this](uint32_t slot) { deliverTap(slot); }, "corvaline-tap");
}

int AudioEngine::deviceChannels() const {
    // A mono player is heard on both sides of a stereo device.
    return player_->channelCount() == 1 ? 2 : player_->channelCount();
}

void AudioEngine::start() {
    if (device_ != 0) return;
    if (!player_) throw std::logic_error("AudioEngine: no player connected");
    sdl().require<AudioOutputError>("The audio output is not available");
    std::lock_guard lock(sdlMutex());
    if (sdl().SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) throw AudioOutputError(sdl().SDL_GetError());
    // The device plays the player's format; SDL converts when the hardware differs.
    const int channels = deviceChannels();
    outputChannels_ = channels;
    SDL_AudioSpec want{};
    want.freq = int(std::lround(player_->sampleRate()));
    want.format = AUDIO_F32SYS;
    want.channels = uint8_t(channels);
    want.samples = uint16_t(kDeviceFrames);
    want.callback = &AudioEngine::callback;
    want.userdata = this;
    SDL_AudioSpec have{};
    const SDL_AudioDeviceID device = sdl().SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
    if (device == 0) {
        const std::string message = sdl().SDL_GetError();
        sdl().SDL_QuitSubSystem(SDL_INIT_AUDIO);
        throw AudioOutputError(message.empty() ? "The audio output could not be opened." : message);
    }
    device_ = device;
    sdlStarted_ = true;
    sdl().SDL_PauseAudioDevice(device_, 0);
}

void AudioEngine::stop() {
    std::lock_guard lock(sdlMutex());
    if (device_ != 0) {
        // Closing waits for a running callback and joins the device thread.
        sdl().SDL_CloseAudioDevice(device_);
        device_ = 0;
    }
    if (sdlStarted_) {
        sdl().SDL_QuitSubSystem(SDL_INIT_AUDIO);
        sdlStarted_ = false;
    }
}

std::optional<std::chrono::steady_clock::time_point> AudioEngine::firstCallback() const {
    const int64_t ns = firstCallbackNs_.load(std::memory_order_acquire);
    if (ns < 0) return std::nullopt;
    return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(ns));
}

void AudioEngine::callback(void* user, uint8_t* stream, int length) {
    auto* engine = static_cast<AudioEngine*>(user);
    const size_t channels = size_t(engine->outputChannels_);
    const auto frames = uint32_t(size_t(std::max(length, 0)) / (sizeof(float) * channels));
    auto* out = reinterpret_cast<float*>(stream);
    if (engine->firstCallbackNs_.load(std::memory_order_relaxed) < 0) {
        const auto now = std::chrono::steady_clock::now().time_since_epoch();
        engine->firstCallbackNs_.store(
            std::chrono::duration_cast<std::chrono::nanoseconds>(now).count(),
            std::memory_order_release);
    }
    engine->player_->render(out, frames, int(channels));
    engine->renderedFrames_.fetch_add(frames, std::memory_order_relaxed);
    if (!engine->tap_) return;
    // The tap copies the output into buffers allocated at installation; the observer runs on
    // the tap thread. A buffer still held by a slow observer is skipped, never waited for.
    for (uint32_t done = 0; done < frames;) {
        const uint32_t n = std::min(frames - done, engine->tapSize_);
        const uint32_t slot = engine->tapNext_;
        if (!engine->tapBusy_[slot].exchange(true, std::memory_order_acquire)) {
            AudioBuffer& buffer = engine->tapBuffers_[slot];
            for (size_t c = 0; c < channels; ++c) {
                float* target = buffer.channel(int(c));
                for (uint32_t i = 0; i < n; ++i)
                    target[i] = out[(done + i) * channels + c];
            }
            buffer.setFrameLength(n);
            if (engine->tap_->post(slot)) {
                engine->tapNext_ = (slot + 1) % uint32_t(engine->tapBuffers_.size());
            } else {
                engine->tapBusy_[slot].store(false, std::memory_order_release);
            }
        }
        done += n;
    }
}

void AudioEngine::deliverTap(uint32_t slot) {
    try {
        tapObserver_(tapBuffers_[slot]);
    } catch (...) {
        // The observer's failure is its own; the buffer is released either way.
    }
    tapBusy_[slot].store(false, std::memory_order_release);
}

}  // namespace corvaline::playback
