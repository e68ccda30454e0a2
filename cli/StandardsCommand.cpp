// corvaline-cli standards: the delivery standards `render` and `loudness` can check against.

#include <cstdio>

#include <nlohmann/json.hpp>

#include "CliSupport.hpp"
#include "Command.hpp"
#include "audiocore/delivery/DeliveryStandard.hpp"
#include "audiocore/delivery/QCReport.hpp"

namespace corvaline::cli {
namespace {

int run(const std::vector<std::string>& argv) {
    Arguments args(argv);
    const bool asJSON = args.flag("--json");
    args.positionals(0, "arguments");
    if (asJSON) {
        nlohmann::ordered_json out = nlohmann::ordered_json::array();
        for (const DeliveryStandard& s : deliveryStandards())
            out.push_back(QCReport::standardJSON(&s));
        std::printf("%s\n", out.dump(2).c_str());
        return 0;
    }
    std::printf("%-12s %-12s %-14s %-10s %s\n", "Name", "Standard", "Integrated", "True peak",
                "Loudness range");
    for (const DeliveryStandard& s : deliveryStandards()) {
        char integrated[32], peak[32];
        std::snprintf(integrated, sizeof integrated, "%.0f \u00b1%.1f %.*s", s.targetLUFS,
                      s.toleranceLU, int(s.unit.size()), s.unit.data());
        std::snprintf(peak, sizeof peak, "\u2264 %.0f dBTP", s.maxTruePeakDBTP);
        std::printf("%-12.*s %-12.*s %-15s %-12s %.*s\n", int(s.id.size()), s.id.data(),
                    int(s.name.size()), s.name.data(), integrated, peak, int(s.rangeNote.size()),
                    s.rangeNote.data());
    }
    return 0;
}

const CommandRegistration registration{{
    "standards",
    "standards [--json]",
    "The delivery standards (loudness target, tolerance, true-peak maximum) that render and "
    "loudness check with --standard NAME.",
    run,
}};

}  // namespace
}  // namespace corvaline::cli
