#pragma once
// Import of the uncompressed PCM audio of MXF camera files through two helper programs: a
// probe that describes the file as JSON and a decoder that writes every audio stream as a
// 32-bit float CAF ("Track-<n>.caf" in the import folder). The stream files are checked and
// merged with MediaImport::merge, so an MXF becomes a recording like an imported video
// (channels "Track t / Channel c"). The helpers are "ffprobe" and "ffmpeg" in the "MXF"
// resource folder beside the executables (never found on PATH); they run with LC_ALL=C, are
// polled every 0.05 s and, when stopped, get SIGTERM and after 2 s SIGKILL.
//
// While a helper runs, the import folder holds "decoder-output.txt" (its standard output) and
// "decoder-error.txt" (its standard error); both are removed after the run on every outcome.
// The import folder itself belongs to the caller (MediaImport::read removes it on failure).
//
// Failures (AudioFailure, exact texts):
//   "The bundled MXF decoder is missing. Please reinstall Kestrio Corvaline."
//   "Could not read the MXF's audio track information."   (probe output is not the JSON)
//   "The MXF has too many audio track descriptors."       (probe output above 1 MiB)
//   "This MXF has no audio track."
//   "This MXF uses unsupported audio (<codec>). MXF import supports uncompressed PCM camera
//    audio. Export a PCM WAV from your editor for other codecs."
//   "The MXF has an invalid audio format."  "MXF import supports up to 128 audio channels."
//   "MXF audio tracks must use the same sample rate."
//   "The MXF has an invalid or unknown duration."
//   "Not enough free disk space to extract this MXF's audio."
//   "Could not extract MXF audio. The file may be damaged or incomplete.\n<error output tail>"
//   "The MXF decoder returned invalid audio or timing."
// Launch and file errors pass through as std::system_error / filesystem_error; cancellation is
// Cancelled (the helper is stopped first).

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "audiocore/model/AudioInfo.hpp"
#include "audiocore/platform/Progress.hpp"

namespace corvaline::MXFImport {

/// Largest probe output accepted, in bytes.
inline constexpr std::size_t kMaxProbeBytes = 1048576;
/// Bytes of the helper's error output quoted in a failure.
inline constexpr std::size_t kErrorTailBytes = 3000;
/// Codec names accepted from the probe.
inline constexpr std::string_view kAcceptedCodecs[] = {"pcm_s16le", "pcm_s24le", "pcm_s32le",
                                                       "pcm_s16be", "pcm_s24be", "pcm_s32be",
                                                       "pcm_f32le", "pcm_f32be"};

/// One audio stream as the probe describes it.
struct Stream {
    int64_t index = 0;                      ///< "index": the stream's number in the file
    std::optional<std::string> codecName;   ///< "codec_name"
    std::optional<std::string> sampleRate;  ///< "sample_rate", decimal text
    std::optional<int64_t> channels;        ///< "channels"
    friend bool operator==(const Stream&, const Stream&) = default;
};

/// The container as the probe describes it.
struct Format {
    std::optional<std::string> duration;  ///< "duration", seconds as decimal text
    friend bool operator==(const Format&, const Format&) = default;
};

/// What validated() derives from a probe.
struct ProbeSummary {
    double rate = 0;          ///< common sample rate, Hz
    std::vector<int> counts;  ///< channels per stream, probe order
    int64_t frames = 0;       ///< round(rate x duration)
    friend bool operator==(const ProbeSummary&, const ProbeSummary&) = default;
};

/// The probe program's JSON ({"streams": [...], "format": {...}}).
struct Probe {
    std::vector<Stream> streams;
    Format format;

    /// Decodes the probe output. Keys other than those above are ignored; a missing required
    /// key, a value of the wrong type, or text that is not JSON throws
    /// "Could not read the MXF's audio track information.". JSON null counts as absent.
    static Probe decode(std::string_view json);

    /// Checks the streams and the duration (see the failure list) and returns the rate,
    /// per-stream channel counts and timeline frames.
    ProbeSummary validated() const;

    friend bool operator==(const Probe&, const Probe&) = default;
};

/// The helper program `name` ("ffprobe" or "ffmpeg") in `folder` (empty: the "MXF" resource
/// folder). Throws the "bundled MXF decoder is missing" failure when it is absent or not
/// executable.
std::filesystem::path helper(const std::string& name, const std::filesystem::path& folder = {});

/// Runs a helper with `arguments`, its output files in `folder`, and returns its standard
/// output. With `seconds` (the decode run) every "out_time_us=<microseconds>" line reports
/// progress min(max(t / seconds, 0), 1); without it (the probe run) the output must stay at
/// most 1 MiB (a helper printing more is stopped at once). A non-zero exit fails with the
/// extraction failure followed by the last 3000 bytes of the error output.
std::string run(const std::filesystem::path& executable, const std::vector<std::string>& arguments,
                const std::filesystem::path& folder, std::optional<double> seconds,
                const ProgressCallback& progress = {}, std::stop_token cancel = {});

/// Free bytes available to the user on the volume holding `folder` (statvfs: f_bavail x
/// f_frsize); none when unknown.
std::optional<uint64_t> availableCapacity(const std::filesystem::path& folder);

/// A free-space query like availableCapacity (which an empty one stands for).
using FreeSpaceQuery = std::function<std::optional<uint64_t>(const std::filesystem::path&)>;

/// Imports the MXF at `url` into `folder` (an existing, empty import folder) and returns the
/// description of its "Audio.caf". Progress: decoding 0 to 0.65, merge 0.65 to 0.9, 0.95 when
/// the stream files are gone (the caller reports 1). `helpers` overrides the helper folder.
/// `freeSpace` answers the free-space check (empty: availableCapacity).
AudioInfo read(const std::filesystem::path& url, const std::filesystem::path& folder,
               const ProgressCallback& progress = {}, std::stop_token cancel = {},
               const std::filesystem::path& helpers = {}, const FreeSpaceQuery& freeSpace = {});

}  // namespace corvaline::MXFImport
