#include "audiocore/import/MXFImport.hpp"

#include <sys/statvfs.h>
#include <unistd.h>

#include <cctype>
#include <charconv>
#include <cmath>
#include <fstream>
#include <nlohmann/json.hpp>

#include "audiocore/files/AudioIO.hpp"
#include "audiocore/import/MediaImport.hpp"
#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/platform/Cancellation.hpp"
#include "audiocore/platform/Paths.hpp"
#include "audiocore/platform/Process.hpp"

namespace fs = std::filesystem;
using nlohmann::json;

namespace corvaline::MXFImport {

namespace {

const char* const kProbeUnreadable = "Could not read the MXF's audio track information.";
const char* const kInvalidFormat = "The MXF has an invalid audio format.";
const char* const kInvalidDecode = "The MXF decoder returned invalid audio or timing.";

/// A decimal number filling the whole text (no spaces, no locale), or NaN.
double parseNumber(const std::string& text) {
    double value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end) return std::nan("");
    return value;
}

/// An optional string field: absent or null -> none; another type -> undecodable.
std::optional<std::string> optionalString(const json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end() || it->is_null()) return std::nullopt;
    if (!it->is_string()) throw AudioFailure(kProbeUnreadable);
    return it->get<std::string>();
}

/// An integer field that fits 64 bits; another type -> undecodable.
int64_t integerValue(const json& value) {
    if (value.is_number_unsigned()) {
        const auto u = value.get<uint64_t>();
        if (u > uint64_t(INT64_MAX)) throw AudioFailure(kProbeUnreadable);
        return int64_t(u);
    }
    if (value.is_number_integer()) return value.get<int64_t>();
    throw AudioFailure(kProbeUnreadable);
}

/// Removes a run's two text files on every outcome.
struct TextFiles {
    fs::path output, error;
    ~TextFiles() {
        std::error_code ec;
        fs::remove(output, ec);
        fs::remove(error, ec);
    }
};

/// The decoder's lines name their component with its memory address ("[mxf @ 0x55d0c1a2b3c0]
/// ..."); the address means nothing to a user and is dropped ("[mxf] ...").
std::string withoutAddresses(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        if (text.compare(i, 5, " @ 0x") == 0) {
            size_t j = i + 5;
            while (j < text.size() && std::isxdigit(static_cast<unsigned char>(text[j])))
                ++j;
            if (j > i + 5 && j < text.size() && text[j] == ']') {
                i = j;
                continue;
            }
        }
        out += text[i++];
    }
    return out;
}

void createEmpty(const fs::path& path) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!file)
        throw fs::filesystem_error("Could not create file", path,
                                   std::make_error_code(std::errc::io_error));
}

}  // namespace

Probe Probe::decode(std::string_view text) {
    const json root = json::parse(text.begin(), text.end(), nullptr, false);
    if (root.is_discarded() || !root.is_object()) throw AudioFailure(kProbeUnreadable);
    const auto streams = root.find("streams");
    const auto format = root.find("format");
    if (streams == root.end() || !streams->is_array() || format == root.end() ||
        !format->is_object())
        throw AudioFailure(kProbeUnreadable);
    Probe probe;
    for (const json& entry : *streams) {
        if (!entry.is_object()) throw AudioFailure(kProbeUnreadable);
        const auto index = entry.find("index");
        if (index == entry.end()) throw AudioFailure(kProbeUnreadable);
        Stream stream;
        stream.index = integerValue(*index);
        stream.codecName = optionalString(entry, "codec_name");
        stream.sampleRate = optionalString(entry, "sample_rate");
        const auto channels = entry.find("channels");
        if (channels != entry.end() && !channels->is_null())
            stream.channels = integerValue(*channels);
        probe.streams.push_back(std::move(stream));
    }
    probe.format.duration = optionalString(*format, "duration");
    return probe;
}

ProbeSummary Probe::validated() const {
    if (streams.empty()) throw AudioFailure("This MXF has no audio track.");
    std::vector<double> rates;
    ProbeSummary summary;
    int64_t total = 0;
    for (const Stream& stream : streams) {
        const std::string codec = stream.codecName.value_or("unknown codec");
        bool accepted = false;
        for (auto name : kAcceptedCodecs)
            accepted = accepted || codec == name;
        if (!accepted)
            throw AudioFailure("This MXF uses unsupported audio (" + codec +
                               "). MXF import supports uncompressed PCM camera audio. Export a "
                               "PCM WAV from your editor for other codecs.");
        const double rate = stream.sampleRate ? parseNumber(*stream.sampleRate) : std::nan("");
        if (!(std::isfinite(rate) && rate >= 8000 && rate <= 384000) || !stream.channels ||
            *stream.channels < 1 || *stream.channels > 128)
            throw AudioFailure(kInvalidFormat);
        rates.push_back(rate);
        summary.counts.push_back(int(*stream.channels));
        total += *stream.channels;
    }
    if (total > 128) throw AudioFailure("MXF import supports up to 128 audio channels.");
    for (double rate : rates)
        if (rate != rates.front())
            throw AudioFailure("MXF audio tracks must use the same sample rate.");
    summary.rate = rates.front();
    const double d = format.duration ? parseNumber(*format.duration) : std::nan("");
    if (!(std::isfinite(d) && d > 0 && summary.rate * d < MediaImport::kFrameLimit))
        throw AudioFailure("The MXF has an invalid or unknown duration.");
    summary.frames = std::llround(summary.rate * d);
    // A duration shorter than half a sample rounds to no frames at all.
    if (summary.frames < 1) throw AudioFailure("The MXF has an invalid or unknown duration.");
    return summary;
}

fs::path helper(const std::string& name, const fs::path& folder) {
    const fs::path base = folder.empty() ? paths::resourceFolder("MXF") : folder;
    const fs::path program = base / name;
    std::error_code ec;
    if (!fs::is_regular_file(program, ec) || ::access(program.c_str(), X_OK) != 0)
        throw AudioFailure(
            "The bundled MXF decoder is missing. Please reinstall Kestrio Corvaline.");
    return program;
}

std::optional<uint64_t> availableCapacity(const fs::path& folder) {
    struct statvfs info {};
    if (::statvfs(folder.c_str(), &info) != 0) return std::nullopt;
    return uint64_t(info.f_bavail) * uint64_t(info.f_frsize);
}

std::string run(const fs::path& executable, const std::vector<std::string>& arguments,
                const fs::path& folder, std::optional<double> seconds,
                const ProgressCallback& progress, std::stop_token cancel) {
    throwIfCancelled(cancel);
    TextFiles files{folder / "decoder-output.txt", folder / "decoder-error.txt"};
    createEmpty(files.output);
    createEmpty(files.error);
    OutputLineReader reader(files.output);

    ProcessOptions options;
    options.executable = executable;
    options.arguments = arguments;
    options.environmentAdditions = {{"LC_ALL", "C"}};
    options.standardOutput = ProcessOutput::toFile(files.output, true);
    options.standardError = ProcessOutput::toFile(files.error, true);
    options.pollInterval = std::chrono::milliseconds(50);
    options.terminateGrace = std::chrono::seconds(2);

    const auto onLine = [&](std::string_view line) {
        constexpr std::string_view key = "out_time_us=";
        if (!seconds || line.substr(0, key.size()) != key) return;
        const double us = parseNumber(std::string(line.substr(key.size())));
        if (std::isfinite(us) && progress)
            progress(std::min(std::max(us / 1000000.0 / *seconds, 0.0), 1.0));
    };
    const auto tooLarge = [&] {
        std::error_code ec;
        const auto size = fs::file_size(files.output, ec);
        return !ec && size > kMaxProbeBytes;
    };
    const auto onPoll = [&] {
        if (seconds) {
            reader.poll(onLine);
        } else if (tooLarge()) {
            // A probe that keeps printing is stopped instead of filling the disk.
            throw AudioFailure("The MXF has too many audio track descriptors.");
        }
    };
    const ProcessResult result = runProcess(options, cancel, onPoll);
    if (!result.succeeded())
        throw AudioFailure("Could not extract MXF audio. The file may be damaged or incomplete.\n" +
                           withoutAddresses(readFileTail(files.error, kErrorTailBytes)));
    if (seconds) return {};
    if (tooLarge()) throw AudioFailure("The MXF has too many audio track descriptors.");
    std::ifstream in(files.output, std::ios::binary);
    std::string output((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        throw fs::filesystem_error("Could not read the probe output", files.output,
                                   std::make_error_code(std::errc::io_error));
    return output;
}

AudioInfo read(const fs::path& url, const fs::path& folder, const ProgressCallback& progress,
               std::stop_token cancel, const fs::path& helpers, const FreeSpaceQuery& freeSpace) {
    const auto report = [&](double f) {
        if (progress) progress(f);
    };
    const fs::path probeProgram = helper("ffprobe", helpers);
    const std::string json =
        run(probeProgram,
            {"-v", "error", "-protocol_whitelist", "file", "-f", "mxf", "-select_streams", "a",
             "-show_entries", "format=duration:stream=index,codec_name,sample_rate,channels", "-of",
             "json", fs::absolute(url).string()},
            folder, std::nullopt, {}, cancel);
    const Probe probe = Probe::decode(json);
    const ProbeSummary summary = probe.validated();
    int channels = 0;
    for (int count : summary.counts)
        channels += count;

    const uint64_t needed = uint64_t(channels) * uint64_t(summary.frames) * 8u + 100000000u;
    if (const auto available = freeSpace ? freeSpace(folder) : availableCapacity(folder);
        available && *available < needed)
        throw AudioFailure("Not enough free disk space to extract this MXF's audio.");

    std::vector<std::string> arguments = {"-hide_banner",
                                          "-loglevel",
                                          "error",
                                          "-nostdin",
                                          "-n",
                                          "-xerror",
                                          "-progress",
                                          "pipe:1",
                                          "-nostats",
                                          "-copyts",
                                          "-start_at_zero",
                                          "-protocol_whitelist",
                                          "file",
                                          "-f",
                                          "mxf",
                                          "-i",
                                          fs::absolute(url).string()};
    std::vector<fs::path> files;
    for (size_t n = 1; n <= probe.streams.size(); ++n) {
        const fs::path file = folder / ("Track-" + std::to_string(n) + ".caf");
        files.push_back(file);
        for (const std::string& arg :
             {std::string("-map"), "0:" + std::to_string(probe.streams[n - 1].index),
              std::string("-map_metadata"), std::string("-1"), std::string("-vn"),
              std::string("-sn"), std::string("-dn"), std::string("-af"),
              std::string("aresample=async=1:first_pts=0"), std::string("-c:a"),
              std::string("pcm_f32le"), std::string("-f"), std::string("caf"), file.string()})
            arguments.push_back(arg);
    }
    const fs::path decoder = helper("ffmpeg", helpers);
    run(
        decoder, arguments, folder, double(summary.frames) / summary.rate,
        [&](double p) { report(0.65 * p); }, cancel);

    const int64_t longest = summary.frames + int64_t(summary.rate);
    for (size_t n = 0; n < files.size(); ++n) {
        const auto file = AudioIO::open(files[n]);
        if (file->sampleRate() != summary.rate || file->channelCount() != summary.counts[n] ||
            file->length() < 1 || file->length() > longest)
            throw AudioFailure(kInvalidDecode);
    }

    const fs::path audio = folder / "Audio.caf";
    MediaImport::merge(
        files, audio, summary.rate, channels, summary.frames,
        [&](double f) { report(0.65 + 0.25 * f); }, cancel);
    for (const auto& file : files)
        fs::remove(file);
    report(0.95);

    AudioInfo info = MediaImport::describe(url, audio, summary.counts, cancel);
    throwIfCancelled(cancel);
    return info;
}

}  // namespace corvaline::MXFImport
