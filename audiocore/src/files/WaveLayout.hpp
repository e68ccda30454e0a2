#pragma once
// What the chunk walk learns about a WAV file's audio layout (private to the files subsystem).

#include <cstdint>
#include <filesystem>
#include <optional>

#include "audiocore/model/WaveMetadata.hpp"

namespace corvaline::detail {

struct WaveLayout {
    std::optional<uint64_t> dataBytes;  ///< the data chunk's declared size (ds64 for RF64)
    uint64_t dataAvailable = 0;         ///< bytes of it the file really holds
    uint16_t blockAlign = 0;            ///< bytes per frame from the fmt chunk (0: unknown)
};

/// WaveMetadata::read, also filling `layout` (when given) as the walk passes the chunks.
WaveMetadata readWave(const std::filesystem::path& url, WaveLayout* layout);

}  // namespace corvaline::detail
