// Recorder metadata bodies (iXML, bext, axml, ds64) inside an otherwise valid WAV: the fuzzer
// spends its time on the body parsers instead of rediscovering the RIFF layout.

#include <cstdint>
#include <string>
#include <vector>

#include "FuzzSupport.hpp"
#include "audiocore/model/WaveMetadata.hpp"
#include "audiocore/platform/Errors.hpp"

using namespace corvaline;

namespace {

void put32(std::vector<uint8_t>& out, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        out.push_back(uint8_t(value >> (8 * i)));
}

void chunk(std::vector<uint8_t>& out, const char* id, const uint8_t* body, size_t size) {
    out.insert(out.end(), id, id + 4);
    put32(out, uint32_t(size));
    out.insert(out.end(), body, body + size);
    if (size % 2) out.push_back(0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    static const char* const kinds[] = {"iXML", "bext", "axml", "ds64"};
    const char* kind = kinds[data[0] % 4];
    const bool rf64 = data[0] & 0x80;
    ++data;
    --size;

    std::vector<uint8_t> file;
    file.insert(file.end(), {uint8_t(rf64 ? 'R' : 'R'), uint8_t(rf64 ? 'F' : 'I'),
                             uint8_t(rf64 ? '6' : 'F'), uint8_t(rf64 ? '4' : 'F')});
    put32(file, 0);
    file.insert(file.end(), {'W', 'A', 'V', 'E'});
    static const uint8_t format[16] = {1, 0, 1, 0, 0x80, 0xBB, 0, 0, 0, 0x77, 1, 0, 2, 0, 16, 0};
    chunk(file, "fmt ", format, sizeof format);
    chunk(file, kind, data, size);
    static const uint8_t audio[8] = {};
    chunk(file, "data", audio, sizeof audio);
    const uint32_t riff = uint32_t(file.size() - 8);
    for (int i = 0; i < 4; ++i)
        file[4 + size_t(i)] = uint8_t(riff >> (8 * i));

    fuzz::MemoryFile input(file.data(), file.size());
    WaveMetadata meta;
    try {
        meta = WaveMetadata::read(input.path());
    } catch (const FileError&) {
        return 0;
    }
    // A preserved chunk is kept byte for byte.
    if (std::string(kind) != "ds64" && size <= 16777216) {
        if (meta.chunks.size() != 1) __builtin_trap();
        if (meta.chunks[0].data != std::vector<uint8_t>(data, data + size)) __builtin_trap();
    }
    return 0;
}
