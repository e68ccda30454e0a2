// corvaline-cli presets: the titles of the named processing presets.

#include <cstdio>

#include "CliSupport.hpp"
#include "Command.hpp"
#include "audiocore/model/SettingsJSON.hpp"

namespace corvaline::cli {
namespace {

int run(const std::vector<std::string>& argv) {
    Arguments args(argv);
    const auto show = args.option("--show");
    args.positionals(0, "");
    if (show) {
        const auto settings = presetNamed(*show);
        if (!settings) throw UsageError{"unknown preset \"" + *show + "\""};
        std::printf("%s\n", SettingsJSON::encode(*settings).c_str());
        return 0;
    }
    for (const auto& preset : processingPresets())
        std::printf("%s\n", preset.title.c_str());
    return 0;
}

const CommandRegistration registration{{
    "presets",
    "presets [--show NAME]",
    "List the processing presets, or print one as settings JSON.",
    run,
}};

}  // namespace
}  // namespace corvaline::cli
