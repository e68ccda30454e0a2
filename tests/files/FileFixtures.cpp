#include "FileFixtures.hpp"

#include "TestSupport.hpp"

#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace corvaline::test {

void writeSndFile(const std::filesystem::path& path, const Planes& planes, int rate, int format) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = int(planes.size());
    info.format = format;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file) throw std::runtime_error(std::string("fixture: ") + sf_strerror(nullptr));
    const size_t frames = planes.empty() ? 0 : planes[0].size();
    std::vector<float> interleaved(frames * planes.size());
    for (size_t c = 0; c < planes.size(); ++c) {
        for (size_t i = 0; i < frames; ++i)
            interleaved[i * planes.size() + c] = planes[c][i];
    }
    if (frames > 0 &&
        sf_writef_float(file, interleaved.data(), sf_count_t(frames)) != sf_count_t(frames)) {
        sf_close(file);
        throw std::runtime_error("fixture: short write");
    }
    sf_close(file);
}

Planes readSndFile(const std::filesystem::path& path) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file) throw std::runtime_error(std::string("fixture: ") + sf_strerror(nullptr));
    std::vector<float> interleaved(size_t(info.frames) * size_t(info.channels));
    sf_readf_float(file, interleaved.data(), info.frames);
    sf_close(file);
    Planes planes(size_t(info.channels), std::vector<float>(size_t(info.frames), 0.0f));
    for (size_t i = 0; i < size_t(info.frames); ++i) {
        for (size_t c = 0; c < planes.size(); ++c) {
            planes[c][i] = interleaved[i * planes.size() + c];
        }
    }
    return planes;
}

Planes testSignal(int channels, int64_t frames, int rate, float amplitude) {
    Planes planes(size_t(channels), std::vector<float>(size_t(frames), 0.0f));
    uint32_t noise = 12345;
    for (int c = 0; c < channels; ++c) {
        const double f = 220.0 * (c + 1) + 17.0;
        for (int64_t i = 0; i < frames; ++i) {
            noise = noise * 1664525u + 1013904223u;
            const double n = (double(noise >> 8) / double(1 << 24) - 0.5) * 0.01;
            planes[size_t(c)][size_t(i)] =
                float(amplitude * std::sin(2.0 * M_PI * f * double(i) / rate) + n);
        }
    }
    return planes;
}

int run(const std::string& commandLine) {
    return runShell(commandLine + " >/dev/null 2>&1").status;
}

std::vector<float> ffmpegDecode(const std::filesystem::path& path, int& channels) {
    const ShellResult probe =
        runShell("ffprobe -v error -select_streams a:0 -show_entries stream=channels -of csv=p=0 " +
                 shellQuote(path.string()));
    channels = std::atoi(probe.output.c_str());
    const ShellResult decoded =
        runShell("ffmpeg -v error -y -i " + shellQuote(path.string()) + " -f f32le - 2>/dev/null");
    if (decoded.status != 0) throw std::runtime_error("fixture: ffmpeg decode failed");
    std::vector<float> samples(decoded.output.size() / 4);
    std::memcpy(samples.data(), decoded.output.data(), samples.size() * 4);
    return samples;
}

Bytes& Bytes::text(const std::string& s) {
    data.insert(data.end(), s.begin(), s.end());
    return *this;
}
Bytes& Bytes::u16(uint16_t v) {
    data.push_back(uint8_t(v));
    data.push_back(uint8_t(v >> 8));
    return *this;
}
Bytes& Bytes::u32(uint32_t v) {
    for (int k = 0; k < 4; ++k)
        data.push_back(uint8_t(v >> (8 * k)));
    return *this;
}
Bytes& Bytes::u64(uint64_t v) {
    for (int k = 0; k < 8; ++k)
        data.push_back(uint8_t(v >> (8 * k)));
    return *this;
}
Bytes& Bytes::raw(const std::vector<uint8_t>& b) {
    data.insert(data.end(), b.begin(), b.end());
    return *this;
}
Bytes& Bytes::zeros(size_t n) {
    data.insert(data.end(), n, 0);
    return *this;
}
Bytes& Bytes::chunk(const std::string& id, const std::vector<uint8_t>& body, int64_t sizeField,
                    bool pad) {
    text(id);
    u32(sizeField >= 0 ? uint32_t(sizeField) : uint32_t(body.size()));
    raw(body);
    if (pad && body.size() % 2 == 1) data.push_back(0);
    return *this;
}

std::vector<uint8_t> toBytes(const std::string& s) {
    return {s.begin(), s.end()};
}

std::vector<uint8_t> pcm16Format(int channels, int rate) {
    Bytes b;
    b.u16(1).u16(uint16_t(channels)).u32(uint32_t(rate)).u32(uint32_t(rate * channels * 2));
    b.u16(uint16_t(channels * 2)).u16(16);
    return b.data;
}

std::vector<uint8_t> bextBody(const std::string& originator, uint64_t timeReference, size_t size) {
    std::vector<uint8_t> body(size, 0);
    for (size_t i = 0; i < originator.size() && i < 32 && 256 + i < size; ++i) {
        body[256 + i] = uint8_t(originator[i]);
    }
    for (int k = 0; k < 8 && 338 + size_t(k) < size; ++k) {
        body[338 + size_t(k)] = uint8_t(timeReference >> (8 * k));
    }
    return body;
}

void writeBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (!out) throw std::runtime_error("fixture: cannot write " + path.string());
}

std::vector<uint8_t> readBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("fixture: cannot read " + path.string());
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace corvaline::test
