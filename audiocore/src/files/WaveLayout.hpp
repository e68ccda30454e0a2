#pragma once
// What the chunk walks learn about a WAV or AIFF file's audio layout (private to the files
// subsystem): how much audio the header promises, to tell a file cut short.

#include <cstdint>
#include <filesystem>
#include <optional>

#include "audiocore/model/WaveMetadata.hpp"

namespace corvaline::detail {

struct WaveLayout {
    std::optional<uint64_t> dataBytes;  ///< the data chunk's declared size (ds64 for RF64)
    uint64_t dataAvailable = 0;         ///< bytes of it the file really holds
    uint16_t formatTag = 0;             ///< from the fmt chunk (0: no fmt chunk seen)
    uint16_t channels = 0;
    uint16_t blockAlign = 0;  ///< bytes per frame (per block for compressed formats)
    uint16_t bitsPerSample = 0;

    /// Frames the header promises, for sample formats whose frames all have the same size
    /// (integer PCM, float, A-law, mu-law); nothing for compressed or unknown formats, whose
    /// block sizes say nothing exact about frames.
    std::optional<uint64_t> declaredFrames() const;
};

/// WaveMetadata::read, also filling `layout` (when given) as the walk passes the chunks.
WaveMetadata readWave(const std::filesystem::path& url, WaveLayout* layout);

/// The frame count an AIFF (or uncompressed AIFF-C) file's COMM chunk promises; nothing for
/// other files, compressed AIFF-C, or a file without a COMM chunk. Throws only on file-system
/// errors.
std::optional<uint64_t> readAiffDeclaredFrames(const std::filesystem::path& url);

}  // namespace corvaline::detail
