// corvaline-cli demo OUT.wav: writes the synthetic demo recording.

#include <cstdio>
#include <string>

#include "Command.hpp"
#include "audiocore/files/AudioIO.hpp"

namespace corvaline::cli {
namespace {

int runDemo(const std::vector<std::string>& args) {
    if (args.empty()) throw UsageError{"missing OUT.wav"};
    if (args.size() > 1) throw UsageError{"only one output file may be given"};
    if (args[0].size() > 1 && args[0][0] == '-') {
        throw UsageError{"unknown option \"" + args[0] + "\""};
    }
    AudioIO::demo(args[0]);
    std::printf("Wrote the demo recording to %s (4 channels, 48000 Hz, 12 s, 32-bit float).\n",
                args[0].c_str());
    return 0;
}

const CommandRegistration registration{Command{
    "demo", "demo OUT.wav", "Write the 12-second four-channel synthetic demo recording.", runDemo}};

}  // namespace
}  // namespace corvaline::cli
