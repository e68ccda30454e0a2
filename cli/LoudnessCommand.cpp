// corvaline-cli loudness: EBU R128 loudness of the processed programme and the normalisation
// gain the chain would apply.

#include <cmath>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "CliSupport.hpp"
#include "Command.hpp"
#include "Delivery.hpp"
#include "audiocore/files/AudioIO.hpp"
#include "audiocore/finishing/LoudnessNormalization.hpp"

namespace corvaline::cli {
namespace {

nlohmann::json optionalValue(const std::optional<double>& value) {
    return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
}

int run(const std::vector<std::string>& argv) {
    Arguments args(argv);
    const bool asJSON = args.flag("--json");
    const DeliveryOptions delivery = parseDeliveryOptions(args);
    const auto process = args.option("--process");
    const SettingsOptions options = parseSettingsOptions(args);
    const InputRecording recording(args.positionals(1, "input file")[0]);
    const std::filesystem::path& source = recording.audio();
    const auto channels = parseProcess(process, recording.channelCount());

    return runCancellable([&](std::stop_token cancel) {
        // Against a standard the file is judged as it is, without the chain.
        if (delivery.standard || delivery.report) {
            return reportCompliance(delivery, recording, channels, asJSON, cancel);
        }
        ProgressBar bar("Measuring");
        const NormalizationPlan plan =
            LoudnessNormalization::plan(source, std::nullopt, options.settings, channels,
                                        std::nullopt, std::nullopt, cancel, std::ref(bar));
        bar.finish();
        const LoudnessReport& report = plan.measured;
        const double target = options.settings.targetLUFS;
        if (asJSON) {
            nlohmann::ordered_json out;
            out["integrated"] = optionalValue(report.integrated);
            out["range"] = optionalValue(report.range);
            out["truePeak"] = std::isfinite(report.truePeak) ? nlohmann::json(report.truePeak)
                                                             : nlohmann::json(nullptr);
            out["gainDB"] = plan.gainDB;
            out["peakLimited"] = plan.peakLimited;
            out["targetLUFS"] = target;
            out["normalizationEnabled"] = options.settings.normalizationEnabled;
            std::vector<int> measured;
            for (size_t c = 0; c < channels.size(); ++c) {
                if (channels[c].process) measured.push_back(int(c) + 1);
            }
            out["channels"] = measured;
            std::printf("%s\n", out.dump(2).c_str());
            return 0;
        }
        if (report.integrated) {
            std::printf("Integrated loudness: %.1f LUFS\n", *report.integrated);
        } else {
            std::printf("Integrated loudness: none (silent or shorter than 0.4 s)\n");
        }
        if (report.range) {
            std::printf("Loudness range:      %.1f LU\n", *report.range);
        } else {
            std::printf("Loudness range:      none (shorter than 3 s)\n");
        }
        std::printf("True peak:           %s dBTP\n", formatDB(report.truePeak).c_str());
        std::printf("Normalisation gain:  %s dB to %.1f LUFS%s%s\n",
                    formatDB(plan.gainDB, 2).c_str(), target,
                    plan.peakLimited ? " (held back by the ceiling or the maximum boost)" : "",
                    options.settings.normalizationEnabled ? "" : " (normalisation is off)");
        return 0;
    });
}

const CommandRegistration registration{{
    "loudness",
    "loudness IN [--preset NAME | --settings FILE.json] [--set field=value ...] [--process 1,2] "
    "[--ceiling DB] [--standard NAME] [--report FILE.json|.html] [--json]",
    "Integrated loudness, loudness range and true peak of the finished channels, and the "
    "normalisation gain.",
    run,
}};

}  // namespace
}  // namespace corvaline::cli
