// corvaline-cli render: finishes a whole recording through the chain into a WAV file and
// appends the recorder metadata of the source.

#include <cstdio>

#include "CliSupport.hpp"
#include "Command.hpp"
#include "audiocore/files/AudioIO.hpp"
#include "audiocore/finishing/AudioDSP.hpp"
#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/model/WaveMetadata.hpp"

namespace corvaline::cli {
namespace {

int run(const std::vector<std::string>& argv) {
    Arguments args(argv);
    const auto output = args.option("-o");
    const auto bitsText = args.option("--bits");
    const auto process = args.option("--process");
    const SettingsOptions options = parseSettingsOptions(args);
    const std::string input = args.positionals(1, "input file")[0];
    if (!output) throw UsageError{"missing -o OUT"};
    const int bits = bitsText ? int(parseInteger(*bitsText, "--bits")) : 24;
    if (bits != 24 && bits != 32) throw UsageError{"--bits must be 24 or 32"};

    const std::filesystem::path destination(*output);
    if (AudioDSP::isSameFile(destination, input)) {
        throw AudioFailure("Choose a different output file to protect the source recording.");
    }
    const InputRecording recording(input);
    const std::filesystem::path& source = recording.audio();
    const int channelCount = recording.channelCount();
    const double rate = recording.sampleRate();
    const int64_t frames = recording.length();
    const auto channels = parseProcess(process, channelCount);

    return runCancellable([&](std::stop_token cancel) {
        PendingOutput pending(destination);
        ProgressBar bar("Rendering");
        AudioDSP::render(source, pending.path(), options.settings, channels, bits, std::nullopt,
                         std::nullopt, options.ceiling, std::ref(bar), cancel);
        bar.finish();
        WaveMetadata::read(source).append(pending.path());
        pending.commit();
        std::printf("Rendered %s: %d channels, %g Hz, %s, %.2f s\n", destination.c_str(),
                    channelCount, rate, bits == 32 ? "32-bit float" : "24-bit PCM",
                    rate > 0 ? double(frames) / rate : 0.0);
        return 0;
    });
}

const CommandRegistration registration{{
    "render",
    "render IN -o OUT [--preset NAME | --settings FILE.json] [--set field=value ...] "
    "[--bits 24|32] [--process 1,2] [--ceiling DB]",
    "Finish a whole recording through the chain into a WAV file, keeping its recorder metadata.",
    run,
}};

}  // namespace
}  // namespace corvaline::cli
