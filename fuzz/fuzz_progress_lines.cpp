// The line reader that follows child-process output (MXF decoder progress, external engines)
// and the engines' JSON progress lines: arbitrary bytes in arbitrary chunks give bounded,
// complete lines without line feeds, and a progress value is always a fraction 0...1.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSupport.hpp"
#include "audiocore/platform/LoggedRun.hpp"
#include "audiocore/platform/Process.hpp"

using namespace corvaline;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    // The first byte chooses how the stream is cut into reads.
    const size_t step = 1 + data[0];
    const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);

    OutputLineReader whole;
    std::vector<std::string> expected;
    whole.feed(bytes, [&](std::string_view line) { expected.emplace_back(line); });

    OutputLineReader pieces;
    std::vector<std::string> lines;
    for (size_t at = 0; at < bytes.size(); at += step) {
        pieces.feed(bytes.substr(at, step), [&](std::string_view line) {
            if (line.find('\n') != std::string_view::npos) __builtin_trap();
            lines.emplace_back(line);
            if (const auto value = progressLineValue(line)) {
                if (!(*value >= 0.0 && *value <= 1.0)) __builtin_trap();
            }
            // What the MXF decoder's progress reader does with a line.
            constexpr std::string_view key = "out_time_us=";
            if (line.substr(0, key.size()) == key) (void)repairUtf8(line.substr(key.size()));
        });
    }
    // Reading in pieces gives the same lines as reading at once (short of the 16384-byte cut).
    if (bytes.size() < 16384 && lines != expected) __builtin_trap();
    return 0;
}
