// The MXF probe program's JSON: decoding and validation never crash and refuse with the
// engine's own messages.

#include <cmath>
#include <cstdint>
#include <string_view>

#include "FuzzSupport.hpp"
#include "audiocore/import/MXFImport.hpp"
#include "audiocore/model/AudioFailure.hpp"

using namespace corvaline;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        const MXFImport::Probe probe = MXFImport::Probe::decode(text);
        const MXFImport::ProbeSummary summary = probe.validated();
        // What validation lets through must be usable for an import.
        if (!(summary.rate > 0) || !std::isfinite(summary.rate) || summary.frames < 1 ||
            summary.counts.size() != probe.streams.size()) {
            fuzz::finding("fuzz_mxf_probe", "validation accepted an unusable probe");
        }
    } catch (const AudioFailure&) {
    } catch (const std::exception& error) {
        fuzz::unexpected("fuzz_mxf_probe", error);
    }
    return 0;
}
