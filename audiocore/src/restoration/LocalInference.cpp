// LocalInference: per-channel restoration through the selected engine, and the engine runner.

#include "audiocore/restoration/LocalInference.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <memory>
#include <system_error>

#include "audiocore/files/AudioIO.hpp"
#include "audiocore/install/ManagedRuntime.hpp"
#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/platform/Cancellation.hpp"
#include "audiocore/platform/LoggedRun.hpp"
#include "audiocore/platform/WorkingFile.hpp"
#include "audiocore/restoration/SidonRestoration.hpp"

namespace fs = std::filesystem;

namespace corvaline::LocalInference {

namespace {

constexpr uint32_t kCopyFrames = AudioIO::kBlockFrames;  // extraction and restoration copies
constexpr uint32_t kAssemblyFrames = 16384;
/// Engines get channels whose peak is at most this, so that they never see a clipped input.
constexpr double kEnginePeak = 0.95;

/// One processed channel on its way through the engine.
struct ChannelWork {
    int index = 0;       ///< channel number in the source, 0-based
    double divisor = 1;  ///< pre-gain divisor X >= 1
    fs::path input;      ///< "channel-j.wav"
    fs::path folder;     ///< "out-j"
    std::unique_ptr<AudioFileReader> restored;
};

std::vector<ChannelWork> processedChannels(int channelCount,
                                           const std::vector<ChannelSettings>& channels,
                                           const fs::path& root) {
    std::vector<ChannelWork> work;
    for (int j = 0; j < channelCount; ++j) {
        if (size_t(j) < channels.size() && !channels[size_t(j)].process) continue;
        ChannelWork w;
        w.index = j;
        w.input = root / ("channel-" + std::to_string(j) + ".wav");
        w.folder = root / ("out-" + std::to_string(j));
        work.push_back(std::move(w));
    }
    return work;
}

/// Peaks of all processed channels in one pass over the source (the same values as
/// channelPeak per channel, without reading a many-channel file once per channel).
void measurePeaks(AudioFileReader& file, std::vector<ChannelWork>& work, std::stop_token cancel) {
    std::vector<float> peaks(work.size(), 0.0f);
    file.seek(0);
    AudioBuffer block(file.channelCount(), kCopyFrames);
    for (;;) {
        throwIfCancelled(cancel);
        const uint32_t n = file.read(block, kCopyFrames);
        if (n == 0) break;
        for (size_t i = 0; i < work.size(); ++i) {
            const float* samples = block.channel(work[i].index);
            float peak = peaks[i];
            for (uint32_t f = 0; f < n; ++f)
                peak = std::max(peak, std::fabs(samples[f]));  // NaN loses every comparison
            peaks[i] = peak;
        }
    }
    for (size_t i = 0; i < work.size(); ++i)
        work[i].divisor = std::max(double(peaks[i]) / kEnginePeak, 1.0);
}

/// Writes every processed channel's engine input in one pass: the channel divided by its
/// pre-gain, then `padding` frames of silence.
void writeInputs(AudioFileReader& file, const std::vector<ChannelWork>& work, int64_t padding,
                 std::stop_token cancel) {
    const double rate = file.sampleRate();
    std::vector<std::unique_ptr<AudioFileWriter>> writers;
    writers.reserve(work.size());
    for (const auto& w : work)
        writers.push_back(AudioIO::writer(w.input, rate, 1, 32));
    file.seek(0);
    AudioBuffer block(file.channelCount(), kCopyFrames);
    AudioBuffer mono(1, kCopyFrames);
    for (;;) {
        throwIfCancelled(cancel);
        const uint32_t n = file.read(block, kCopyFrames);
        if (n == 0) break;
        mono.setFrameLength(n);
        for (size_t i = 0; i < work.size(); ++i) {
            const float* in = block.channel(work[i].index);
            float* out = mono.channel(0);
            const double divisor = work[i].divisor;
            for (uint32_t f = 0; f < n; ++f)
                out[f] = float(double(in[f]) / divisor);
            writers[i]->write(mono);
        }
    }
    mono.zero();
    for (int64_t left = padding; left > 0;) {
        throwIfCancelled(cancel);
        const auto n = uint32_t(std::min<int64_t>(left, kCopyFrames));
        mono.setFrameLength(n);
        for (auto& writer : writers)
            writer->write(mono);
        left -= n;
    }
    for (auto& writer : writers)
        writer->close();
}

/// Checks the engine's output and writes "restored.wav": its first `length` frames with the
/// pre-gain undone. Returns the restored file's path.
fs::path writeRestored(const fs::path& output, const ChannelWork& work, double rate, int64_t length,
                       bool exactLength, std::stop_token cancel) {
    const auto file = AudioIO::open(output);  // a missing output fails here as it is
    if (!acceptsOutput(file->channelCount(), file->sampleRate(), file->length(), rate, length,
                       exactLength)) {
        throw AudioFailure(incompatibleOutputMessage);
    }
    const fs::path restored = work.folder / "restored.wav";
    const auto writer = AudioIO::writer(restored, file->sampleRate(), 1, 32);
    AudioBuffer block(1, kCopyFrames);
    AudioBuffer scratch(1, kCopyFrames);
    const double undo = 1.0 / work.divisor;
    for (int64_t done = 0; done < length;) {
        throwIfCancelled(cancel);
        const auto n = uint32_t(std::min<int64_t>(length - done, kCopyFrames));
        AudioIO::readExactly(*file, block, scratch, n);
        float* samples = block.channel(0);
        for (uint32_t f = 0; f < n; ++f)
            samples[f] = float(double(samples[f]) / undo);
        writer->write(block);
        done += n;
    }
    writer->close();
    return restored;
}

/// The destination: processed channels from their restorations, the others from the source.
void assemble(AudioFileReader& source, const fs::path& destination, std::vector<ChannelWork>& work,
              std::stop_token cancel) {
    const int64_t length = source.length();
    source.seek(0);
    const auto writer =
        AudioIO::writer(destination, source.sampleRate(), source.channelCount(), 32);
    AudioBuffer block(source.channelCount(), kAssemblyFrames);
    AudioBuffer mono(1, kAssemblyFrames);
    while (source.position() < length) {
        throwIfCancelled(cancel);
        const uint32_t n = source.read(block, kAssemblyFrames);
        if (n == 0) break;
        for (auto& w : work) {
            float* target = block.channel(w.index);
            for (uint32_t filled = 0; filled < n;) {
                const uint32_t got = w.restored->read(mono, n - filled);
                if (got == 0) {
                    throw AudioFailure("Model channel " + std::to_string(w.index + 1) +
                                       " ended at " + std::to_string(w.restored->position()) +
                                       " / " + std::to_string(w.restored->length()) + ".");
                }
                std::copy_n(mono.channel(0), got, target + filled);
                filled += got;
            }
        }
        writer->write(block);
    }
    writer->close();
}

}  // namespace

bool acceptsOutput(int channels, double rate, int64_t frames, double sourceRate,
                   int64_t sourceFrames, bool exactLength) {
    if (channels != 1) return false;
    if (!(std::fabs(rate - sourceRate) < 1.0)) return false;
    return exactLength ? frames == sourceFrames : frames >= sourceFrames;
}

std::string reductionText(double reduction) {
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, reduction);
    return std::string(text, result.ptr);
}

std::vector<std::string> engineArguments(const InferenceConfiguration& configuration,
                                         const fs::path& input, const fs::path& output,
                                         const fs::path& outputFolder) {
    if (!configuration.executable) throw AudioFailure(noRuntimeMessage);
    if (configuration.pythonBridge) {
        // HTDemucs finds its checkpoint in the folder that holds it; the reference engine
        // gets its model folder.
        const fs::path repo = configuration.isSidonReference ? configuration.model
                                                             : configuration.model.parent_path();
        return {"-I",       configuration.pythonBridge->string(),
                "--input",  input.string(),
                "--output", output.string(),
                "--repo",   repo.string()};
    }
    return {"-m",
            configuration.model.string(),
            "-D",
            "-a",
            reductionText(configuration.reduction),
            "-o",
            outputFolder.string(),
            input.string()};
}

std::optional<Environment> engineEnvironment(const InferenceConfiguration& configuration) {
    if (!configuration.pythonBridge) return std::nullopt;
    Environment environment = ManagedRuntime::environment(std::nullopt);
    if (configuration.isSidonReference) {
        for (const char* name :
             {"HF_HUB_OFFLINE", "TRANSFORMERS_OFFLINE", "HF_HUB_DISABLE_TELEMETRY"})
            environment[name] = "1";
    }
    return environment;
}

void run(const fs::path& executable, const std::vector<std::string>& arguments,
         const std::optional<Environment>& environment, const ProgressCallback& progress,
         std::stop_token cancel) {
    try {
        runLogged(executable, arguments, environment, progress, cancel);
    } catch (const ProgramFailure& failure) {
        throw AudioFailure(failure.what());
    }
}

float channelPeak(AudioFileReader& file, int channel, std::stop_token cancel) {
    file.seek(0);
    AudioBuffer block(file.channelCount(), kCopyFrames);
    float peak = 0.0f;
    for (;;) {
        throwIfCancelled(cancel);
        const uint32_t n = file.read(block, kCopyFrames);
        if (n == 0) break;
        const float* samples = block.channel(channel);
        for (uint32_t f = 0; f < n; ++f)
            peak = std::max(peak, std::fabs(samples[f]));
    }
    return peak;
}

void enhance(const fs::path& source, const fs::path& destination,
             const std::vector<ChannelSettings>& channels,
             const InferenceConfiguration& configuration, SidonQuality sidonQuality,
             const ProgressCallback& progress, std::stop_token cancel) {
    const auto file = AudioIO::open(source);
    const double rate = file->sampleRate();
    const int64_t length = file->length();
    const fs::path parent = folderOf(destination);  // also for an unnamed working file
    const WorkingFolder root(parent);

    std::vector<ChannelWork> work = processedChannels(file->channelCount(), channels, root.path());
    const size_t count = work.size();
    // An engine's own progress lines arrive as fast as it writes them and need not be
    // ordered; the caller sees at most ten reports a second, never moving backwards, and
    // every channel's completion.
    ProgressLimiter limiter(progress);
    const auto report = [&limiter](double fraction) { limiter.report(fraction); };

    std::unique_ptr<SidonRestoration> sidon;
    if (configuration.isSidon() && !configuration.isSidonReference && count > 0)
        sidon = std::make_unique<SidonRestoration>(configuration.model, cancel);

    if (count > 0) {
        measurePeaks(*file, work, cancel);
        const int64_t padding = configuration.isSidon() ? 0 : int64_t(rate * 0.5);
        writeInputs(*file, work, padding, cancel);
    }

    for (size_t i = 0; i < count; ++i) {
        ChannelWork& w = work[i];
        throwIfCancelled(cancel);
        fs::create_directories(w.folder);
        const auto channelProgress = [&report, i, count](double f) {
            report((double(i) + f) / double(std::max<size_t>(count, 1)));
        };
        fs::path output = w.folder / "enhanced.wav";
        if (sidon) {
            sidon->render(w.input, output, sidonQuality, channelProgress, cancel);
        } else {
            const auto arguments = engineArguments(configuration, w.input, output, w.folder);
            if (!configuration.pythonBridge) output = w.folder / w.input.filename();
            run(*configuration.executable, arguments, engineEnvironment(configuration),
                configuration.isSidonReference ? ProgressCallback(channelProgress)
                                               : ProgressCallback(),
                cancel);
        }
        const fs::path restored =
            writeRestored(output, w, rate, length, configuration.isSidonReference, cancel);
        // The engine's input and output are no longer needed; only the restoration stays.
        std::error_code ignored;
        fs::remove(w.input, ignored);
        fs::remove(output, ignored);
        w.restored = AudioIO::open(restored);
        limiter.force(double(i + 1) / double(std::max<size_t>(count, 1)));
    }

    assemble(*file, destination, work, cancel);
}

}  // namespace corvaline::LocalInference
