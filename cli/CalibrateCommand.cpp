// corvaline-cli calibrate: proposes lav detector trims from a passage in which two people
// take turns.

#include <cmath>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "CliSupport.hpp"
#include "Command.hpp"
#include "audiocore/files/AudioIO.hpp"
#include "audiocore/finishing/LavPairAnalyzer.hpp"

namespace corvaline::cli {
namespace {

int run(const std::vector<std::string>& argv) {
    Arguments args(argv);
    const bool asJSON = args.flag("--json");
    const auto micA = args.option("--mic-a");
    const auto micB = args.option("--mic-b");
    const auto start = args.option("--start");
    const auto end = args.option("--end");
    const SettingsOptions options = parseSettingsOptions(args);
    const std::string input = args.positionals(1, "input file")[0];
    if (!micA || !micB) throw UsageError{"give both --mic-a N and --mic-b N"};
    const InputRecording recording(input);
    const std::filesystem::path& source = recording.audio();
    const int64_t a = parseInteger(*micA, "--mic-a");
    const int64_t b = parseInteger(*micB, "--mic-b");

    std::optional<AudioFrameRange> range;
    if (start || end) {
        const double rate = recording.sampleRate();
        const double from = start ? parseNumber(*start, "--start") : 0.0;
        const double to = end ? parseNumber(*end, "--end") : double(recording.length()) / rate;
        if (from < 0 || to <= from) throw UsageError{"--start must be before --end"};
        range =
            AudioFrameRange{int64_t(std::llround(from * rate)), int64_t(std::llround(to * rate))};
    }
    // Channel numbers are 1-based here; 0 or less can never name a track.
    const int channelA = a >= 1 && a <= kMaxChannels ? int(a - 1) : -1;
    const int channelB = b >= 1 && b <= kMaxChannels ? int(b - 1) : -1;

    return runCancellable([&](std::stop_token cancel) {
        ProgressBar bar("Analysing");
        const LavPairCalibration result = LavPairAnalyzer::analyze(
            source, channelA, channelB, range, options.settings.bleedFloor, std::ref(bar), cancel);
        bar.finish();
        if (asJSON) {
            nlohmann::ordered_json out;
            out["trimA"] = result.trimA;
            out["trimB"] = result.trimB;
            out["separationDB"] = result.separationDB;
            out["analyzedSeconds"] = result.analyzedSeconds;
            std::printf("%s\n", out.dump(2).c_str());
            return 0;
        }
        std::printf("Mic A detector trim: %s dB\n", formatDB(result.trimA, 2).c_str());
        std::printf("Mic B detector trim: %s dB\n", formatDB(result.trimB, 2).c_str());
        std::printf("Separation:          %.1f dB over %.1f s\n", result.separationDB,
                    result.analyzedSeconds);
        std::printf("Apply with: --set bleedTrimA=%.2f --set bleedTrimB=%.2f\n", result.trimA,
                    result.trimB);
        return 0;
    });
}

const CommandRegistration registration{{
    "calibrate",
    "calibrate IN --mic-a N --mic-b N [--start s --end s] [--set bleedFloor=DB] [--json]",
    "Propose lav detector trims from a passage in which two people take turns.",
    run,
}};

}  // namespace
}  // namespace corvaline::cli
