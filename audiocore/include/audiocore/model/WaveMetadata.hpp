#pragma once
// Recorder metadata of a WAV file: the preserved bext, iXML and axml chunks, and what the
// application shows from them (track names, scene, take, originator, time reference).
//
// The record lives with the audio model; reading and appending are implemented by the files
// subsystem (link corvaline::files to call them).

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace corvaline {

/// One preserved chunk: four-character identifier and body (no header, no pad byte).
struct WaveChunk {
    std::string name;
    std::vector<uint8_t> data;
    friend bool operator==(const WaveChunk&, const WaveChunk&) = default;
};

struct WaveMetadata {
    std::vector<WaveChunk> chunks;          ///< preserved chunks in file order
    std::vector<std::string> channelNames;  ///< by channel position; "" where unnamed
    std::string scene;
    std::string take;
    std::string originator;                 ///< bext originator, trimmed
    std::optional<uint64_t> timeReference;  ///< samples since midnight at the file's rate

    friend bool operator==(const WaveMetadata&, const WaveMetadata&) = default;

    /// Reads the metadata of the file at `url`. A file that is not a RIFF/RF64/BW64 WAVE
    /// yields the empty value; throws only file-system errors (open, read, seek).
    static WaveMetadata read(const std::filesystem::path& url);

    /// Appends `chunks` to the RIFF WAVE at `url` and fixes its RIFF size. Does nothing when
    /// there are no chunks. Throws AudioFailure "Metadata export currently requires a standard
    /// WAV smaller than 4 GB." for anything but a RIFF file, "The rendered WAV exceeds the
    /// 4 GB RIFF limit. Split the recording before export." when the result is too large
    /// (the chunks are already appended then), and file-system errors.
    void append(const std::filesystem::path& url) const;

    /// Little-endian unsigned 32-bit value at `offset` of `bytes`; 0 when out of bounds.
    static uint32_t uint32(const std::vector<uint8_t>& bytes, size_t offset);
};

}  // namespace corvaline
