#pragma once
// QC reports of a delivery: one record per file (source and output with their SHA-256,
// format, channels kept, recorder metadata carried, loudness and peaks, the verdict against
// the delivery standard, loudness over time), written as versioned JSON or as a
// self-contained HTML page (inline SVG graphs, no script, nothing fetched).
//
// The JSON is the report's one data model: entries are built as JSON, merged as JSON (a
// batch collects the entries its renders wrote), and the HTML page is drawn from it. Its
// layout is documented in the README and carries "format": "corvaline-qc-report" and an
// integer "version" (kVersion); fields are only ever added within one version.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "audiocore/delivery/DeliveryStandard.hpp"
#include "audiocore/delivery/QualityCheck.hpp"

namespace corvaline::QCReport {

using Json = nlohmann::ordered_json;

inline constexpr int kVersion = 1;
inline constexpr const char* kFormat = "corvaline-qc-report";

/// What a report says about one file on disk.
struct FileFacts {
    std::filesystem::path path;
    std::string sha256;  ///< 64 lower-case hex digits
    std::string format;  ///< "WAV", "MOV", … (from the file name's extension, upper case)
    double sampleRate = 0;
    int channels = 0;
    int64_t frames = 0;
    int bitDepth = 0;  ///< 0 when not applicable (compressed or extracted audio)
};

/// Reads the facts of `file`: its checksum (streamed), and the audio format given by the
/// caller (the audio the engine reads may be extracted from a video or MXF `file`).
FileFacts facts(const std::filesystem::path& file, double sampleRate, int channels, int64_t frames,
                int bitDepth, std::stop_token cancel = {});

/// The standard as report JSON (null for none).
Json standardJSON(const DeliveryStandard* standard);

/// One file's entry. `output`, `measurement` and `verdict` are absent when the render failed
/// (then `error` says why).
Json entry(const FileFacts& source, const std::optional<FileFacts>& output,
           const QualityMeasurement* measurement, const ComplianceVerdict* verdict,
           const std::vector<std::string>& metadataChunks, const std::optional<std::string>& error);

/// A failed file's entry (no output).
Json failedEntry(const std::filesystem::path& source, const std::string& error);

/// The whole report around `entries`, with its summary and the time of writing.
Json report(std::vector<Json> entries, const DeliveryStandard* standard);

/// The report as a self-contained HTML page.
std::string html(const Json& report);

/// True when `name` ends in ".json", ".html" or ".htm" (any case): a name write() accepts.
bool isReportName(const std::filesystem::path& name);

/// Writes the report to `destination`: HTML when its extension is ".html" or ".htm", JSON
/// otherwise. The file appears only when complete. Errors name the file.
void write(const std::filesystem::path& destination, const Json& report);

/// Reads a report written by write() as JSON. Throws AudioFailure naming the file when it is
/// not a report of a version this program reads.
Json read(const std::filesystem::path& file);

}  // namespace corvaline::QCReport
