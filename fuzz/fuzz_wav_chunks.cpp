// The WAV chunk walker (RIFF, RF64/BW64 with ds64) over whole files of arbitrary bytes, and the
// metadata append that copies what it found into a rendered file.

#include <fcntl.h>

#include <cstdint>
#include <filesystem>

#include "../audiocore/src/files/WaveLayout.hpp"
#include "FuzzSupport.hpp"
#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/model/WaveMetadata.hpp"
#include "audiocore/platform/Errors.hpp"

using namespace corvaline;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::MemoryFile input(data, size);
    detail::WaveLayout layout;
    WaveMetadata meta;
    try {
        meta = detail::readWave(input.path(), &layout);
    } catch (const FileError&) {
        return 0;  // only file-system errors may leave the reader
    }
    // Everything found lies inside the file, and the walk's figures are consistent.
    uint64_t kept = 0;
    for (const WaveChunk& chunk : meta.chunks) {
        if (chunk.name != "bext" && chunk.name != "iXML" && chunk.name != "axml") __builtin_trap();
        kept += chunk.data.size();
    }
    if (kept > size) __builtin_trap();
    if (layout.dataBytes && layout.dataAvailable > *layout.dataBytes) __builtin_trap();
    if (meta.channelNames.size() > 256) __builtin_trap();

    // Appending the chunks to a small valid RIFF file must give a well-formed size field.
    if (!meta.chunks.empty()) {
        static const uint8_t header[] = {'R', 'I', 'F', 'F', 4, 0, 0, 0, 'W', 'A', 'V', 'E'};
        fuzz::MemoryFile output(header, sizeof header);
        try {
            meta.append(output.path());
        } catch (const AudioFailure&) {
            return 0;
        } catch (const FileError&) {
            return 0;
        }
        const WaveMetadata again = WaveMetadata::read(output.path());
        if (again.chunks != meta.chunks) __builtin_trap();
    }
    return 0;
}
