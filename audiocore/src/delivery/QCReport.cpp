#include "audiocore/delivery/QCReport.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>
#include <system_error>

#include "audiocore/install/VerifiedDownload.hpp"
#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/platform/Uuid.hpp"

#ifndef CORVALINE_VERSION
#define CORVALINE_VERSION "0"
#endif

namespace corvaline::QCReport {

namespace {

// Minus infinity (silence) and unmeasured values are null in the JSON.
Json value(double x) {
    return std::isfinite(x) ? Json(std::round(x * 100) / 100) : Json(nullptr);
}

Json value(const std::optional<double>& x) {
    return x ? value(*x) : Json(nullptr);
}

Json formatJSON(const FileFacts& f) {
    Json out;
    out["container"] = f.format;
    out["sampleRate"] = f.sampleRate;
    out["channels"] = f.channels;
    out["frames"] = f.frames;
    out["duration"] = f.sampleRate > 0 ? double(f.frames) / f.sampleRate : 0.0;
    out["bitDepth"] = f.bitDepth > 0 ? Json(f.bitDepth) : Json(nullptr);
    return out;
}

Json fileJSON(const FileFacts& f) {
    Json out;
    out["path"] = f.path.string();
    out["name"] = f.path.filename().string();
    out["sha256"] = f.sha256;
    out["format"] = formatJSON(f);
    return out;
}

// The extension without its dot, in `convert`'s case ("WAV", ".html").
std::string extensionOf(const std::filesystem::path& path, int (*convert)(int), bool dot) {
    std::string extension = path.extension().string();
    if (!dot && !extension.empty()) extension.erase(0, 1);
    for (char& c : extension)
        c = char(convert(static_cast<unsigned char>(c)));
    return extension;
}

bool isHTMLName(const std::filesystem::path& path) {
    const std::string extension = extensionOf(path, ::tolower, true);
    return extension == ".html" || extension == ".htm";
}

std::string utcNow() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

// ---- HTML ---------------------------------------------------------------------------------

std::string escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                // Control characters from file names never reach the page raw.
                if (static_cast<unsigned char>(c) < 0x20 && c != '\n' && c != '\t') {
                    out += "\xEF\xBF\xBD";
                } else {
                    out += c;
                }
        }
    }
    return out;
}

std::string text(const Json& j) {
    if (j.is_string()) return escape(j.get<std::string>());
    if (j.is_null()) return "&ndash;";
    return escape(j.dump());
}

std::string fixed(const Json& j, int decimals, const char* unit) {
    if (!j.is_number()) return "&ndash;";
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "%.*f%s%s", decimals, j.get<double>(), *unit ? " " : "",
                  unit);
    return buffer;
}

std::string number(double x, int decimals = 1) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, x);
    return buffer;
}

std::string clockText(double seconds) {
    const long total = long(std::floor(seconds));
    char buffer[32];
    if (total >= 3600) {
        std::snprintf(buffer, sizeof buffer, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60,
                      total % 60);
    } else {
        std::snprintf(buffer, sizeof buffer, "%ld:%02ld", total / 60, total % 60);
    }
    return buffer;
}

// Loudness over time: short-term (bold) and momentary (thin) loudness, the target with its
// tolerance band, the true-peak ceiling and marks where the true peak passed it.
std::string graph(const Json& entry, const Json& standard) {
    const Json& series = entry["series"];
    if (!series.is_object() || !series["shortTerm"].is_array()) return {};
    const double step = series.value("step", 0.1);
    const auto& shortTerm = series["shortTerm"];
    const auto& momentary = series["momentary"];
    const auto& truePeak = series["truePeak"];
    const size_t count = shortTerm.size();
    if (count == 0) return {};
    const double width = 880, height = 260, left = 44, right = 12, top = 12, bottom = 28;
    const double plotW = width - left - right, plotH = height - top - bottom;
    const double low = -54, high = 0;
    const double duration = step * double(count);
    auto x = [&](double seconds) {
        return left + plotW * std::clamp(seconds / duration, 0.0, 1.0);
    };
    auto y = [&](double db) {
        return top + plotH * (high - std::clamp(db, low, high)) / (high - low);
    };

    std::ostringstream svg;
    svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " << width << ' ' << height
        << "\" width=\"" << width << "\" height=\"" << height
        << "\" role=\"img\" aria-label=\"Loudness over time\">";
    svg << "<rect x=\"" << left << "\" y=\"" << top << "\" width=\"" << plotW << "\" height=\""
        << plotH << "\" fill=\"#15181d\"/>";
    // Grid: every 6 LU, and about eight time marks.
    for (double db = high; db >= low; db -= 6) {
        svg << "<line x1=\"" << left << "\" x2=\"" << left + plotW << "\" y1=\"" << y(db)
            << "\" y2=\"" << y(db) << "\" stroke=\"#2c313a\" stroke-width=\"1\"/>";
        svg << "<text x=\"" << left - 6 << "\" y=\"" << y(db) + 4
            << "\" text-anchor=\"end\" class=\"axis\">" << number(db, 0) << "</text>";
    }
    const double tick = std::max(1.0, std::ceil(duration / 8 / 5) * 5);
    for (double t = 0; t <= duration + 1e-9; t += tick) {
        svg << "<text x=\"" << x(t) << "\" y=\"" << height - 8
            << "\" text-anchor=\"middle\" class=\"axis\">" << clockText(t) << "</text>";
    }
    if (standard.is_object()) {
        const double target = standard["target"].get<double>();
        const double tolerance = standard["tolerance"].get<double>();
        const double ceiling = standard["maxTruePeak"].get<double>();
        svg << "<rect x=\"" << left << "\" y=\"" << y(target + tolerance) << "\" width=\"" << plotW
            << "\" height=\"" << std::max(1.0, y(target - tolerance) - y(target + tolerance))
            << "\" fill=\"#2f7d4a\" fill-opacity=\"0.35\"/>";
        svg << "<line x1=\"" << left << "\" x2=\"" << left + plotW << "\" y1=\"" << y(target)
            << "\" y2=\"" << y(target)
            << "\" stroke=\"#5fd38a\" stroke-width=\"1\" stroke-dasharray=\"6 4\"/>";
        svg << "<line x1=\"" << left << "\" x2=\"" << left + plotW << "\" y1=\"" << y(ceiling)
            << "\" y2=\"" << y(ceiling)
            << "\" stroke=\"#e0565b\" stroke-width=\"1\" stroke-dasharray=\"2 3\"/>";
        for (size_t i = 0; i < std::min(count, truePeak.size()); ++i) {
            if (truePeak[i].is_number() && truePeak[i].get<double>() > ceiling) {
                const double px = x(step * double(i + 1));
                svg << "<line x1=\"" << px << "\" x2=\"" << px << "\" y1=\"" << top << "\" y2=\""
                    << top + 8 << "\" stroke=\"#e0565b\" stroke-width=\"2\"/>";
            }
        }
    }
    auto polyline = [&](const Json& values, const char* colour, double strokeWidth) {
        std::string points;
        auto flush = [&] {
            if (points.empty()) return;
            svg << "<polyline fill=\"none\" stroke=\"" << colour << "\" stroke-width=\""
                << strokeWidth << "\" points=\"" << points << "\"/>";
            points.clear();
        };
        for (size_t i = 0; i < values.size(); ++i) {
            if (!values[i].is_number()) {
                flush();  // silence or not yet measured: a gap in the line
                continue;
            }
            points += number(x(step * double(i + 1)), 1) + "," +
                      number(y(values[i].get<double>()), 1) + " ";
        }
        flush();
    };
    polyline(momentary, "#7f8a99", 0.8);
    polyline(shortTerm, "#4fa3ff", 1.8);
    // The file's largest true peak.
    double maxPeak = -1e9;
    size_t maxAt = 0;
    for (size_t i = 0; i < truePeak.size(); ++i) {
        if (truePeak[i].is_number() && truePeak[i].get<double>() > maxPeak) {
            maxPeak = truePeak[i].get<double>();
            maxAt = i;
        }
    }
    if (maxPeak > -1e9) {
        const double px = x(step * double(maxAt + 1)), py = y(maxPeak);
        svg << "<path d=\"M" << number(px) << ' ' << number(py - 7)
            << " l-5 -8 h10 z\" fill=\"#ffb454\"/>";
        svg << "<text x=\"" << std::min(px + 8, left + plotW - 120) << "\" y=\"" << py - 8
            << "\" class=\"mark\">max true peak " << number(maxPeak) << " dBTP</text>";
    }
    svg << "<text x=\"" << left + 6 << "\" y=\"" << top + plotH - 6
        << "\" class=\"legend\"><tspan fill=\"#4fa3ff\">&#9472; short-term</tspan>  "
           "<tspan fill=\"#7f8a99\">&#9472; momentary</tspan>  <tspan fill=\"#5fd38a\">&#9472; "
           "target &amp; tolerance</tspan>  <tspan fill=\"#e0565b\">&#9472; true-peak "
           "ceiling</tspan></text>";
    svg << "</svg>";
    return svg.str();
}

std::string verdictBadge(const Json& entry) {
    if (entry.value("result", "") != "rendered") return "<span class=\"bad\">failed</span>";
    const Json& verdict = entry["verdict"];
    if (!verdict.is_object()) return "<span class=\"info\">rendered</span>";
    return verdict.value("compliant", false) ? "<span class=\"good\">compliant</span>"
                                             : "<span class=\"bad\">not compliant</span>";
}

}  // namespace

FileFacts facts(const std::filesystem::path& file, double sampleRate, int channels, int64_t frames,
                int bitDepth, std::stop_token cancel) {
    FileFacts f;
    f.path = file;
    f.sha256 = VerifiedDownload::checksum(file, cancel);
    f.format = extensionOf(file, ::toupper, false);
    f.sampleRate = sampleRate;
    f.channels = channels;
    f.frames = frames;
    f.bitDepth = bitDepth;
    return f;
}

Json standardJSON(const DeliveryStandard* standard) {
    if (!standard) return nullptr;
    Json out;
    out["id"] = std::string(standard->id);
    out["name"] = std::string(standard->name);
    out["unit"] = std::string(standard->unit);
    out["target"] = standard->targetLUFS;
    out["tolerance"] = standard->toleranceLU;
    out["maxTruePeak"] = standard->maxTruePeakDBTP;
    out["maxLoudnessRange"] = value(standard->maxRangeLU);
    out["loudnessRange"] = std::string(standard->rangeNote);
    return out;
}

Json entry(const FileFacts& source, const std::optional<FileFacts>& output,
           const QualityMeasurement* m, const ComplianceVerdict* verdict,
           const std::vector<std::string>& metadataChunks,
           const std::optional<std::string>& error) {
    Json out;
    out["source"] = fileJSON(source);
    out["output"] = output ? fileJSON(*output) : Json(nullptr);
    out["result"] = error ? "failed" : "rendered";
    out["error"] = error ? Json(*error) : Json(nullptr);
    out["channelsKept"] = output ? Json(output->channels) : Json(nullptr);
    out["metadataChunks"] = metadataChunks;
    if (m) {
        out["programmeChannels"] = m->programmeChannels;
        Json loudness;
        loudness["integrated"] = value(m->loudness.integrated);
        loudness["range"] = value(m->loudness.range);
        loudness["maxMomentary"] = value(m->maxMomentary);
        loudness["maxShortTerm"] = value(m->maxShortTerm);
        loudness["truePeak"] = value(m->strictTruePeak);
        loudness["truePeak4x"] = value(m->loudness.truePeak);
        out["loudness"] = loudness;
        Json channels = Json::array();
        for (const ChannelPeaks& c : m->channels) {
            channels.push_back({{"channel", c.channel},
                                {"truePeak", value(c.truePeak)},
                                {"samplePeak", value(c.samplePeak)}});
        }
        out["channels"] = channels;
    } else {
        out["programmeChannels"] = nullptr;
        out["loudness"] = nullptr;
        out["channels"] = nullptr;
    }
    if (verdict) {
        Json v;
        v["compliant"] = verdict->compliant;
        v["reason"] = verdict->reason();
        Json criteria = Json::array();
        for (const ComplianceCriterion& c : verdict->criteria) {
            criteria.push_back({{"name", c.name},
                                {"measured", value(c.measured)},
                                {"unit", c.unit},
                                {"requirement", c.requirement},
                                {"passed", c.passed},
                                {"informative", c.informative}});
        }
        v["criteria"] = criteria;
        out["verdict"] = v;
    } else {
        out["verdict"] = nullptr;
    }
    if (m) {
        Json series;
        series["step"] = m->seriesStep;
        Json momentary = Json::array(), shortTerm = Json::array(), peaks = Json::array();
        for (const LoudnessPoint& p : m->series) {
            momentary.push_back(value(p.momentary));
            shortTerm.push_back(value(p.shortTerm));
            peaks.push_back(value(p.truePeak));
        }
        series["momentary"] = momentary;
        series["shortTerm"] = shortTerm;
        series["truePeak"] = peaks;
        out["series"] = series;
    } else {
        out["series"] = nullptr;
    }
    return out;
}

Json failedEntry(const std::filesystem::path& source, const std::string& error) {
    FileFacts f;
    f.path = source;
    f.format = extensionOf(source, ::toupper, false);
    Json out = entry(f, std::nullopt, nullptr, nullptr, {}, error);
    out["source"]["sha256"] = nullptr;
    out["source"]["format"] = {{"container", f.format}};
    return out;
}

Json report(std::vector<Json> entries, const DeliveryStandard* standard) {
    Json out;
    out["format"] = kFormat;
    out["version"] = kVersion;
    out["generated"] = utcNow();
    out["tool"] = std::string("Corvaline ") + CORVALINE_VERSION;
    out["standard"] = standardJSON(standard);
    int succeeded = 0, compliant = 0, nonCompliant = 0;
    for (const Json& e : entries) {
        if (e.value("result", "") != "rendered") continue;
        ++succeeded;
        if (e["verdict"].is_object()) {
            (e["verdict"].value("compliant", false) ? compliant : nonCompliant)++;
        }
    }
    Json summary;
    summary["files"] = entries.size();
    summary["rendered"] = succeeded;
    summary["failed"] = int(entries.size()) - succeeded;
    summary["compliant"] = standard ? Json(compliant) : Json(nullptr);
    summary["nonCompliant"] = standard ? Json(nonCompliant) : Json(nullptr);
    out["summary"] = summary;
    out["files"] = std::move(entries);
    return out;
}

std::string html(const Json& r) {
    const Json& standard = r["standard"];
    std::ostringstream page;
    page << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
            "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
            "<title>Corvaline QC report</title><style>"
            "body{font:14px/1.45 system-ui,sans-serif;background:#0f1114;color:#d7dbe0;"
            "margin:24px auto;max-width:960px;padding:0 16px}"
            "h1{font-size:22px;margin:0 0 4px}h2{font-size:17px;margin:28px 0 6px;"
            "border-top:1px solid #2c313a;padding-top:18px}h3{font-size:14px;margin:14px 0 4px;"
            "color:#9aa3ad}table{border-collapse:collapse;width:100%;margin:6px 0}"
            "th,td{text-align:left;padding:4px 8px;border-bottom:1px solid #232830;"
            "vertical-align:top}th{color:#9aa3ad;font-weight:600}td.n{text-align:right;"
            "font-variant-numeric:tabular-nums}code{font-size:12px;color:#aab4bf;"
            "word-break:break-all}.good{color:#5fd38a;font-weight:600}.bad{color:#ff6b6b;"
            "font-weight:600}.info{color:#9aa3ad}.meta{color:#9aa3ad}svg{max-width:100%;"
            "height:auto}svg .axis{fill:#8a939d;font-size:11px}svg .mark{fill:#ffb454;"
            "font-size:11px}svg .legend{font-size:11px}</style></head><body>\n";
    page << "<h1>Loudness QC report</h1><p class=\"meta\">" << text(r["tool"]) << " &middot; "
         << text(r["generated"]) << " &middot; report format " << text(r["format"]) << " v"
         << text(r["version"]) << "</p>\n";
    if (standard.is_object()) {
        page << "<p><b>" << text(standard["name"]) << "</b>: integrated "
             << fixed(standard["target"], 1, "") << " &plusmn;"
             << fixed(standard["tolerance"], 1, "") << " " << text(standard["unit"])
             << ", true peak &le; " << fixed(standard["maxTruePeak"], 1, "dBTP")
             << ", loudness range " << text(standard["loudnessRange"]) << ".</p>\n";
    } else {
        page << "<p>No delivery standard was set; the files are measured, not judged.</p>\n";
    }
    const Json& summary = r["summary"];
    page << "<p>" << text(summary["files"]) << " files, " << text(summary["rendered"])
         << " rendered, " << text(summary["failed"]) << " failed";
    if (standard.is_object()) {
        page << "; " << text(summary["compliant"]) << " compliant, "
             << text(summary["nonCompliant"]) << " not compliant";
    }
    page << ".</p>\n<table><tr><th>File</th><th>Result</th><th>Integrated</th><th>Range</th>"
            "<th>True peak</th><th>Notes</th></tr>\n";
    for (const Json& e : r["files"]) {
        const Json& loudness = e["loudness"];
        page << "<tr><td>" << text(e["source"]["name"]) << "</td><td>" << verdictBadge(e)
             << "</td><td class=\"n\">"
             << (loudness.is_object() ? fixed(loudness["integrated"], 1, "LUFS") : "&ndash;")
             << "</td><td class=\"n\">"
             << (loudness.is_object() ? fixed(loudness["range"], 1, "LU") : "&ndash;")
             << "</td><td class=\"n\">"
             << (loudness.is_object() ? fixed(loudness["truePeak"], 1, "dBTP") : "&ndash;")
             << "</td><td>";
        if (e["error"].is_string()) {
            page << text(e["error"]);
        } else if (e["verdict"].is_object()) {
            page << text(e["verdict"]["reason"]);
        }
        page << "</td></tr>\n";
    }
    page << "</table>\n";

    for (const Json& e : r["files"]) {
        page << "<h2>" << text(e["source"]["name"]) << " &nbsp;" << verdictBadge(e) << "</h2>\n";
        page << "<table>";
        for (const char* side : {"source", "output"}) {
            const Json& f = e[side];
            if (!f.is_object()) continue;
            const Json& format = f["format"];
            page << "<tr><th>" << (side[0] == 's' ? "Source" : "Output") << "</th><td>"
                 << text(f["path"]) << "<br><code>SHA-256 " << text(f["sha256"]) << "</code><br>";
            if (format.is_object() && format.contains("sampleRate")) {
                page << text(format["container"]) << ", " << fixed(format["sampleRate"], 0, "Hz")
                     << ", " << text(format["channels"]) << " channels";
                if (format["bitDepth"].is_number())
                    page << ", " << text(format["bitDepth"]) << "-bit";
                page << ", " << fixed(format["duration"], 3, "s") << " (" << text(format["frames"])
                     << " frames)";
            }
            page << "</td></tr>";
        }
        if (e["error"].is_string()) {
            page << "<tr><th>Error</th><td class=\"bad\">" << text(e["error"]) << "</td></tr>";
        }
        if (e["output"].is_object()) {
            page << "<tr><th>Channels kept</th><td>" << text(e["channelsKept"])
                 << "</td></tr><tr><th>Metadata carried</th><td>";
            const Json& chunks = e["metadataChunks"];
            if (!chunks.is_array() || chunks.empty()) page << "none";
            for (size_t i = 0; chunks.is_array() && i < chunks.size(); ++i) {
                page << (i ? ", " : "") << text(chunks[i]);
            }
            page << "</td></tr>";
        }
        page << "</table>\n";
        const Json& loudness = e["loudness"];
        if (loudness.is_object()) {
            page << "<h3>Loudness</h3><table><tr><th>Integrated</th><th>Range</th>"
                    "<th>Max momentary</th><th>Max short-term</th><th>True peak</th></tr><tr>"
                 << "<td class=\"n\">" << fixed(loudness["integrated"], 1, "LUFS") << "</td>"
                 << "<td class=\"n\">" << fixed(loudness["range"], 1, "LU") << "</td>"
                 << "<td class=\"n\">" << fixed(loudness["maxMomentary"], 1, "LUFS") << "</td>"
                 << "<td class=\"n\">" << fixed(loudness["maxShortTerm"], 1, "LUFS") << "</td>"
                 << "<td class=\"n\">" << fixed(loudness["truePeak"], 1, "dBTP")
                 << "</td></tr></table>\n";
        }
        const Json& verdict = e["verdict"];
        if (verdict.is_object()) {
            page << "<h3>Verdict</h3><table><tr><th>Criterion</th><th>Measured</th>"
                    "<th>Required</th><th></th></tr>";
            for (const Json& c : verdict["criteria"]) {
                page << "<tr><td>" << text(c["name"]) << "</td><td class=\"n\">"
                     << fixed(c["measured"], 1, c["unit"].get<std::string>().c_str()) << "</td><td>"
                     << text(c["requirement"]) << "</td><td>"
                     << (c.value("informative", false) ? "<span class=\"info\">reported</span>"
                         : c.value("passed", false)    ? "<span class=\"good\">pass</span>"
                                                       : "<span class=\"bad\">fail</span>")
                     << "</td></tr>";
            }
            page << "</table>\n";
        }
        const Json& channels = e["channels"];
        if (channels.is_array() && !channels.empty()) {
            page << "<h3>Peaks per channel</h3><table><tr><th>Channel</th><th>True peak</th>"
                    "<th>Sample peak</th></tr>";
            for (const Json& c : channels) {
                page << "<tr><td>" << text(c["channel"]) << "</td><td class=\"n\">"
                     << fixed(c["truePeak"], 1, "dBTP") << "</td><td class=\"n\">"
                     << fixed(c["samplePeak"], 1, "dBFS") << "</td></tr>";
            }
            page << "</table>\n";
        }
        const std::string chart = graph(e, standard);
        if (!chart.empty()) page << "<h3>Loudness over time</h3>" << chart << "\n";
    }
    page << "</body></html>\n";
    return page.str();
}

void write(const std::filesystem::path& destination, const Json& r) {
    const std::string body = isHTMLName(destination) ? html(r) : r.dump(2) + "\n";
    const std::filesystem::path folder =
        destination.has_parent_path() ? destination.parent_path() : std::filesystem::path(".");
    const std::filesystem::path temporary = folder / (".corvaline-" + newUuidString() + ".tmp");
    const std::string name = destination.filename().string();
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(body.data(), std::streamsize(body.size()));
        out.close();
        if (!out) {
            std::error_code ignored;
            std::filesystem::remove(temporary, ignored);
            throw AudioFailure("Could not write the report \u201c" + name +
                               "\u201d: the folder is not writable or the disk is full.");
        }
    }
    std::error_code error;
    std::filesystem::rename(temporary, destination, error);
    if (error) {
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
        throw AudioFailure("Could not write the report \u201c" + name +
                           "\u201d: " + error.message() + ".");
    }
}

bool isReportName(const std::filesystem::path& name) {
    return isHTMLName(name) || extensionOf(name, ::tolower, true) == ".json";
}

Json read(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    const std::string name = file.filename().string();
    if (!in) throw AudioFailure("Could not read the report \u201c" + name + "\u201d.");
    Json j = Json::parse(in, nullptr, false);
    if (j.is_discarded() || !j.is_object() || j.value("format", "") != kFormat ||
        !j["version"].is_number_integer() || j["version"].get<int>() > kVersion ||
        !j["files"].is_array()) {
        throw AudioFailure("\u201c" + name + "\u201d is not a QC report this version can read.");
    }
    return j;
}

}  // namespace corvaline::QCReport
