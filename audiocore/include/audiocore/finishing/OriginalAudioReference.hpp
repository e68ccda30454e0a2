#pragma once
// A second file on the timeline of the file being finished: the unrestored original for the
// Original Mix, or the recording the lav bleed detector listens to.

#include <cstdint>
#include <filesystem>

namespace corvaline {

/// Frame `offset + f` of `source` lines up with frame `f` of the input file. For a cached
/// restoration that covers only a passage, `offset` locates the passage in the original.
struct OriginalAudioReference {
    std::filesystem::path source;
    int64_t offset = 0;

    friend bool operator==(const OriginalAudioReference&, const OriginalAudioReference&) = default;
};

}  // namespace corvaline
