#pragma once
// Fixture builders for the files suite: audio written with libsndfile, files converted by the
// ffmpeg and sox programs, and WAV chunk layouts assembled byte by byte.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace corvaline::test {

using Planes = std::vector<std::vector<float>>;

/// Writes `planes` (one vector per channel, equal lengths) with libsndfile in `format`
/// (SF_FORMAT_* major | subtype).
void writeSndFile(const std::filesystem::path& path, const Planes& planes, int rate, int format);

/// Reads a whole file with libsndfile as float planes.
Planes readSndFile(const std::filesystem::path& path);

/// A deterministic test signal: per channel a distinct tone plus a little noise.
Planes testSignal(int channels, int64_t frames, int rate, float amplitude = 0.5f);

/// Runs a shell command line with its output discarded; returns its exit status.
int run(const std::string& commandLine);

/// Interleaved float samples of `path` as decoded by the ffmpeg program.
std::vector<float> ffmpegDecode(const std::filesystem::path& path, int& channels);

/// Little-endian byte builder for hand-made RIFF layouts.
struct Bytes {
    std::vector<uint8_t> data;
    Bytes& text(const std::string& s);
    Bytes& u16(uint16_t v);
    Bytes& u32(uint32_t v);
    Bytes& u64(uint64_t v);
    Bytes& raw(const std::vector<uint8_t>& b);
    Bytes& zeros(size_t n);
    /// A chunk: id, size (or `sizeField` when given), body, pad byte for odd bodies.
    Bytes& chunk(const std::string& id, const std::vector<uint8_t>& body, int64_t sizeField = -1,
                 bool pad = true);
};

std::vector<uint8_t> toBytes(const std::string& s);

/// fmt body for 16-bit PCM.
std::vector<uint8_t> pcm16Format(int channels, int rate);

/// A bext body of `size` bytes with `originator` at offset 256 and the time reference.
std::vector<uint8_t> bextBody(const std::string& originator, uint64_t timeReference,
                              size_t size = 602);

void writeBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> readBytes(const std::filesystem::path& path);

}  // namespace corvaline::test
