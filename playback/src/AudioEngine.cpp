// The output engine over SDL2's pull callback.

#include <SDL.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
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
    CORVALINE_LIBRARY_FUNCTION(SDL_GetCurrentAudioDriver);
    CORVALINE_LIBRARY_FUNCTION(SDL_GetDefaultAudioInfo);
    CORVALINE_LIBRARY_FUNCTION(SDL_free);
    CORVALINE_LIBRARY_FUNCTION(SDL_OpenAudioDevice);
    CORVALINE_LIBRARY_FUNCTION(SDL_PauseAudioDevice);
    CORVALINE_LIBRARY_FUNCTION(SDL_CloseAudioDevice);
};

/// The library (unloaded until the first start(): every call into it follows one).
const SDLLibrary& sdl() {
    static const SDLLibrary library;
    return library;
}

/// ALSA's library prints its own diagnostics on standard error while SDL tries its devices
/// ("ALSA lib pcm.c:2666:(snd_pcm_open_noupdate) Unknown PCM default"). The program writes no
/// log, and a failure reaches the user in the refusal below, so they are silenced (as FFmpeg's
/// are). The handler is libasound's global: set once in the copy SDL opens later as well.
void quietAlsa(const char*, int, const char*, int, const char*, ...) {}

void silenceAlsa() {
    static std::once_flag once;
    std::call_once(once, [] {
        using Handler = void (*)(const char*, int, const char*, int, const char*, ...);
        try {
            static const SharedLibrary alsa("libasound.so.2");
            alsa.function<int (*)(Handler)>("snd_lib_error_set_handler")(&quietAlsa);
        } catch (const SharedLibrary::Unavailable&) {
            // Without libasound SDL has no ALSA driver either: nothing to silence.
        }
    });
}

constexpr uint32_t kDeviceFrames = 1024;
constexpr size_t kTapBuffers = 16;

/// What to try when the output cannot be used, after what failed.
constexpr const char* kOutputAdvice =
    "Choose another output device in the system's sound settings, or check that the sound "
    "server (PipeWire or PulseAudio) is running and no other program holds the device, then "
    "try again.";

/// How the user knows an SDL audio driver.
std::string soundSystem(const std::string& driver) {
    if (driver == "pipewire") return "PipeWire";
    if (driver == "pulseaudio") return "PulseAudio";
    if (driver == "alsa") return "ALSA";
    if (driver == "jack") return "JACK";
    if (driver == "sndio") return "sndio";
    if (driver == "dsp") return "OSS";
    return "“" + driver + "”";
}

/// "48 kHz stereo", "44.1 kHz 6-channel".
std::string formatText(double rate, int channels) {
    char text[64];
    std::snprintf(text, sizeof text, "%g kHz %s", std::round(rate / 100.0) / 10.0,
                  channels == 1   ? "mono"
                  : channels == 2 ? "stereo"
                                  : (std::to_string(channels) + "-channel").c_str());
    return text;
}

/// The refusal a user reads: `what` failed, what to try, and SDL's text (`detail`, when it
/// has any) on a line of its own.
AudioOutputError outputRefusal(const std::string& what, const std::string& advice,
                               const std::string& detail) {
    std::string message = "The audio output could not start: " + what + " " + advice;
    if (!detail.empty()) message += "\n" + detail;
    return AudioOutputError(message);
}

/// Why SDL could not start its audio subsystem, in the user's words. Called with SDL's
/// error text still current.
AudioOutputError initialisationRefusal() {
    const std::string detail = sdl().SDL_GetError();
    const char* chosen = std::getenv("SDL_AUDIODRIVER");
    if (chosen != nullptr && *chosen != '\0') {
        return outputRefusal(
            "the sound system " + soundSystem(chosen) +
                " named by SDL_AUDIODRIVER is not available on this computer.",
            "Remove SDL_AUDIODRIVER from the environment to use the default output, or name "
            "one that is installed (pipewire, pulseaudio or alsa).",
            detail);
    }
    return outputRefusal("no sound system could be reached (PipeWire, PulseAudio or ALSA).",
                         kOutputAdvice, detail);
}

/// The output SDL was asked to open, as the user knows it, and what to try when it fails.
struct Output {
    std::string name;  ///< "the output device “Speakers” (PulseAudio)"
    std::string advice;
};

/// The default output of the running driver. The audio subsystem is running.
Output defaultOutput() {
    const char* current = sdl().SDL_GetCurrentAudioDriver();
    const std::string driver = current != nullptr ? current : "";
    if (driver == "disk") {
        // The developers' and tests' driver, which writes what is played to a file.
        const char* file = std::getenv("SDL_DISKAUDIOFILE");
        const std::string shown = file != nullptr && *file != '\0' ? file : "sdlaudio.raw";
        return {"the sound file output “" + shown + "” (SDL_AUDIODRIVER=disk)",
                "Check that the folder of SDL_DISKAUDIOFILE exists and can be written, or "
                "remove SDL_AUDIODRIVER from the environment to use the default output."};
    }
    std::string device = "the default output device";
    const char* named = std::getenv("AUDIODEV");
    char* name = nullptr;
    SDL_AudioSpec format{};
    if (named != nullptr && *named != '\0') {
        // SDL opens the device the environment names instead of the default.
        device = std::string("the output device “") + named + "” named by AUDIODEV";
    } else if (sdl().SDL_GetDefaultAudioInfo(&name, &format, 0) == 0 && name != nullptr) {
        if (*name != '\0') device = std::string("the output device “") + name + "”";
    }
    if (name != nullptr) sdl().SDL_free(name);
    if (!driver.empty()) device += " (" + soundSystem(driver) + ")";
    return {device, kOutputAdvice};
}

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
    silenceAlsa();
    if (sdl().SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) throw initialisationRefusal();
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
        const std::string detail = sdl().SDL_GetError();
        const Output output = defaultOutput();
        AudioOutputError refusal =
            outputRefusal(output.name + " could not be opened for " +
                              formatText(player_->sampleRate(), channels) + " playback.",
                          output.advice, detail);
        sdl().SDL_QuitSubSystem(SDL_INIT_AUDIO);
        throw refusal;
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
