// Delivery to a loudness standard: compliance of rendered and existing files, QC reports, and
// the batch render of a day's recordings into one folder.

#include "Delivery.hpp"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include <nlohmann/json.hpp>

#include "Command.hpp"
#include "audiocore/delivery/QCReport.hpp"
#include "audiocore/delivery/QualityCheck.hpp"
#include "audiocore/files/AudioIO.hpp"
#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/model/SettingsJSON.hpp"
#include "audiocore/model/WaveMetadata.hpp"
#include "audiocore/platform/Cancellation.hpp"
#include "audiocore/platform/Errors.hpp"
#include "audiocore/platform/FailureText.hpp"
#include "audiocore/platform/Paths.hpp"
#include "audiocore/platform/Process.hpp"
#include "audiocore/platform/Uuid.hpp"
#include "audiocore/platform/WorkingFile.hpp"

namespace corvaline::cli {

namespace fs = std::filesystem;

namespace {

// A --report name, refused unless write() can write it.
fs::path reportName(const std::string& name) {
    if (!QCReport::isReportName(name)) {
        throw UsageError{"--report needs a file name ending in .json or .html"};
    }
    return name;
}

std::string oneDecimal(const std::optional<double>& value, const char* unit) {
    if (!value || !std::isfinite(*value)) return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", *value, unit);
    return text;
}

std::vector<bool> programmeOf(const std::vector<ChannelSettings>& channels) {
    std::vector<bool> programme;
    for (const ChannelSettings& channel : channels)
        programme.push_back(channel.process);
    return programme;
}

std::vector<std::string> chunkNames(const fs::path& file) {
    std::vector<std::string> names;
    try {
        for (const WaveChunk& chunk : WaveMetadata::read(file).chunks)
            names.push_back(chunk.name);
    } catch (const std::exception&) {
        // A file without readable chunks carries none.
    }
    return names;
}

QCReport::FileFacts sourceFacts(const InputRecording& recording, std::stop_token cancel) {
    int bits = 0;
    try {
        bits = AudioIO::open(recording.audio())->fileBitDepth();
    } catch (const std::exception&) {
    }
    return QCReport::facts(recording.source(), recording.sampleRate(), recording.channelCount(),
                           recording.length(), bits, cancel);
}

void printVerdict(const DeliveryStandard& standard, const QualityMeasurement& m,
                  const ComplianceVerdict& verdict) {
    if (verdict.compliant) {
        std::printf("%s: compliant (integrated %s, true peak %s, loudness range %s)\n",
                    std::string(standard.name).c_str(),
                    oneDecimal(m.loudness.integrated, "LUFS").c_str(),
                    oneDecimal(m.strictTruePeak, "dBTP").c_str(),
                    oneDecimal(m.loudness.range, "LU").c_str());
    } else {
        std::printf("%s: not compliant: %s\n", std::string(standard.name).c_str(),
                    verdict.reason().c_str());
    }
}

}  // namespace

DeliveryOptions parseDeliveryOptions(Arguments& args) {
    DeliveryOptions delivery;
    if (const auto name = args.option("--standard")) {
        delivery.standard = findDeliveryStandard(*name);
        if (!delivery.standard) {
            throw UsageError{"unknown delivery standard \"" + *name +
                             "\"; the standards are: " + deliveryStandardIds()};
        }
    }
    if (const auto report = args.option("--report")) delivery.report = reportName(*report);
    return delivery;
}

void applyStandard(const DeliveryOptions& delivery, SettingsOptions& options) {
    if (!delivery.standard) return;
    const DeliveryStandard& standard = *delivery.standard;
    const double ceiling = options.ceiling ? std::min(*options.ceiling, standard.maxTruePeakDBTP)
                                           : standard.maxTruePeakDBTP;
    ProcessingSettings& s = options.settings;
    s.normalizationEnabled = true;
    s.targetLUFS = standard.targetLUFS;
    s.limiterEnabled = true;
    s.truePeakEnabled = true;
    s.ceiling = ceiling;
    options.ceiling = ceiling;
}

int checkDelivery(const DeliveryOptions& delivery, const InputRecording& recording,
                  const fs::path& output, const std::vector<ChannelSettings>& channels,
                  std::stop_token cancel) {
    if (!delivery.standard && !delivery.report) return 0;
    QualityMeasurement m;
    {
        ProgressBar bar("Checking");
        m = QualityCheck::measure(output, programmeOf(channels), cancel, std::ref(bar));
        bar.finish();
    }
    std::optional<ComplianceVerdict> verdict;
    if (delivery.standard) {
        verdict = QualityCheck::judge(m, *delivery.standard);
        printVerdict(*delivery.standard, m, *verdict);
    }
    if (delivery.report) {
        const auto source = sourceFacts(recording, cancel);
        const auto written =
            QCReport::facts(output, m.sampleRate, m.channelCount, m.frames, m.bitDepth, cancel);
        QCReport::write(
            *delivery.report,
            QCReport::report({QCReport::entry(source, written, &m, verdict ? &*verdict : nullptr,
                                              chunkNames(output), std::nullopt)},
                             delivery.standard));
    }
    return verdict && !verdict->compliant ? kNotCompliant : 0;
}

int reportCompliance(const DeliveryOptions& delivery, const InputRecording& recording,
                     const std::vector<ChannelSettings>& channels, bool asJSON,
                     std::stop_token cancel) {
    QualityMeasurement m;
    {
        ProgressBar bar("Measuring");
        m = QualityCheck::measure(recording.audio(), programmeOf(channels), cancel, std::ref(bar));
        bar.finish();
    }
    std::optional<ComplianceVerdict> verdict;
    if (delivery.standard) verdict = QualityCheck::judge(m, *delivery.standard);
    QCReport::Json entry =
        QCReport::entry(sourceFacts(recording, cancel), std::nullopt, &m,
                        verdict ? &*verdict : nullptr, chunkNames(recording.audio()), std::nullopt);
    entry["result"] = "measured";
    if (delivery.report)
        QCReport::write(*delivery.report, QCReport::report({entry}, delivery.standard));
    if (asJSON) {
        nlohmann::ordered_json out;
        out["standard"] = QCReport::standardJSON(delivery.standard);
        out["loudness"] = entry["loudness"];
        out["channels"] = entry["channels"];
        out["verdict"] = entry["verdict"];
        std::printf("%s\n", out.dump(2).c_str());
    } else {
        std::printf("Integrated loudness: %s\n", oneDecimal(m.loudness.integrated, "LUFS").c_str());
        std::printf("Loudness range:      %s\n", oneDecimal(m.loudness.range, "LU").c_str());
        std::printf("Max momentary:       %s\n", oneDecimal(m.maxMomentary, "LUFS").c_str());
        std::printf("Max short-term:      %s\n", oneDecimal(m.maxShortTerm, "LUFS").c_str());
        std::printf("True peak:           %s\n", oneDecimal(m.strictTruePeak, "dBTP").c_str());
        if (verdict) printVerdict(*delivery.standard, m, *verdict);
    }
    return verdict && !verdict->compliant ? kNotCompliant : 0;
}

// ---- batch --------------------------------------------------------------------------------

namespace {

// Options of `render` that take a value and are passed on to every file's render.
const std::set<std::string, std::less<>> kForwardedValueOptions{
    "--preset",   "--settings", "--set",       "--ceiling",       "--bits",        "--process",
    "--standard", "--model",    "--reduction", "--sidon-quality", "--original-mix"};

// Files a folder contributes to a batch: what Corvaline imports.
const std::set<std::string, std::less<>> kMediaExtensions{
    ".wav", ".wave", ".bwf",  ".rf64", ".w64", ".aif",  ".aiff", ".aifc", ".caf", ".mp3",
    ".m4a", ".aac",  ".flac", ".ogg",  ".oga", ".opus", ".mp4",  ".mov",  ".m4v", ".mxf"};

struct BatchArguments {
    fs::path folder;
    std::optional<int> jobs;
    bool overwrite = false;
    std::optional<fs::path> report;
    std::vector<std::string> forwarded;
    std::vector<std::string> inputs;
};

BatchArguments parseBatch(const std::vector<std::string>& argv) {
    BatchArguments b;
    std::optional<std::string> folder;
    for (size_t i = 0; i < argv.size(); ++i) {
        const std::string& a = argv[i];
        if (a == "--") {
            b.inputs.insert(b.inputs.end(), argv.begin() + long(i) + 1, argv.end());
            break;
        }
        if (a.size() < 2 || a[0] != '-') {
            b.inputs.push_back(a);
            continue;
        }
        std::string name = a, value;
        bool inlineValue = false;
        if (const auto eq = a.find('='); a.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = a.substr(0, eq);
            value = a.substr(eq + 1);
            inlineValue = true;
        }
        auto takeValue = [&]() -> std::string {
            if (inlineValue) return value;
            if (i + 1 >= argv.size()) throw UsageError{name + " needs a value"};
            return argv[++i];
        };
        if (name == "--overwrite") {
            b.overwrite = true;
        } else if (name == "-d") {
            folder = takeValue();
        } else if (name == "-j") {
            const int64_t jobs = parseInteger(takeValue(), "-j");
            if (jobs < 1 || jobs > 256) throw UsageError{"-j must be between 1 and 256"};
            b.jobs = int(jobs);
        } else if (name == "--report") {
            b.report = reportName(takeValue());
        } else if (name == "-o") {
            throw UsageError{"-o names one output; with -d OUTDIR every input gets its own"};
        } else if (name == "--start" || name == "--end") {
            throw UsageError{name + " renders a selection of one file; it cannot be used with -d"};
        } else if (kForwardedValueOptions.count(name)) {
            b.forwarded.push_back(name);
            b.forwarded.push_back(takeValue());
        } else {
            throw UsageError{"unknown option " + name};
        }
    }
    if (!folder) throw UsageError{"missing -d OUTDIR"};
    b.folder = *folder;
    if (b.inputs.empty()) throw UsageError{"missing input files or folders"};
    return b;
}

// A job: one input and where it goes, or why it cannot be rendered.
struct BatchJob {
    fs::path input;
    fs::path output;
    std::optional<std::string> refusal;  ///< set before any work
    // Filled in as it runs.
    std::string phase;
    double fraction = 0;
    bool running = false;
    bool done = false;
    int status = -1;
    std::string error;
    std::vector<std::string> warnings;  ///< "Warning: ..." lines of the render (a damaged source)
    QCReport::Json entry;
};

std::vector<fs::path> expandInputs(const std::vector<std::string>& inputs,
                                   std::vector<BatchJob>& missing) {
    std::vector<fs::path> files;
    for (const std::string& input : inputs) {
        const fs::path path(input);
        std::error_code error;
        const auto status = fs::status(path, error);
        if (fs::is_directory(status)) {
            std::vector<fs::path> found;
            fs::recursive_directory_iterator it(path, fs::directory_options::skip_permission_denied,
                                                error);
            for (; !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
                const fs::path& entry = it->path();
                const std::string name = entry.filename().string();
                if (!name.empty() && name[0] == '.') {
                    if (it->is_directory()) it.disable_recursion_pending();
                    continue;
                }
                std::string extension = entry.extension().string();
                for (char& c : extension)
                    c = char(std::tolower(static_cast<unsigned char>(c)));
                std::error_code typeError;
                if (it->is_regular_file(typeError) && kMediaExtensions.count(extension)) {
                    found.push_back(entry);
                }
            }
            std::sort(found.begin(), found.end());
            files.insert(files.end(), found.begin(), found.end());
        } else if (fs::exists(status)) {
            files.push_back(path);
        } else {
            BatchJob job;
            job.input = path;
            job.refusal = quotedName(path) + " does not exist.";
            missing.push_back(job);
        }
    }
    return files;
}

int defaultJobs() {
    const int cores = int(std::max(1u, std::thread::hardware_concurrency()));
    // One render holds a few hundred megabytes at most; leave room for the rest of the system.
    long long available = 0;
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    long long kib = 0;
    std::string unit;
    while (meminfo >> key >> kib >> unit) {
        if (key == "MemAvailable:") available = kib * 1024;
    }
    if (available <= 0) return cores;
    return int(std::clamp<long long>(available / (768LL << 20), 1, cores));
}

/// `object[key]`, or null when `object` is not an object or has no such member. (Reading a
/// missing member of a const value with [] is undefined: a batch without a report crashed.)
const QCReport::Json& member(const QCReport::Json& object, const char* key) {
    static const QCReport::Json none;
    if (!object.is_object()) return none;
    const auto found = object.find(key);
    return found == object.end() ? none : *found;
}

/// The "Warning: ..." lines a render wrote on its standard error (a source cut short), which
/// would otherwise be lost with the rest of a successful render's output.
std::vector<std::string> warningLines(const std::string& errorOutput) {
    std::vector<std::string> found;
    size_t start = 0;
    while (start < errorOutput.size()) {
        size_t end = errorOutput.find('\n', start);
        if (end == std::string::npos) end = errorOutput.size();
        std::string line = errorOutput.substr(start, end - start);
        if (const auto cr = line.rfind('\r'); cr != std::string::npos) line.erase(0, cr + 1);
        if (line.rfind("\033[K", 0) == 0) line.erase(0, 3);
        if (line.rfind("Warning: ", 0) == 0) found.push_back(line);
        start = end + 1;
    }
    return found;
}

std::string lastMessage(const std::string& errorOutput) {
    // The child's last non-empty lines, without the program-name prefix.
    std::string text = repairUtf8(errorOutput);
    std::vector<std::string> lines;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (const auto cr = line.rfind('\r'); cr != std::string::npos) line = line.substr(cr + 1);
        while (!line.empty() && (line.back() == ' ' || line.back() == '\r'))
            line.pop_back();
        if (line.rfind("\033[K", 0) == 0) line.erase(0, 3);
        if (!line.empty() && line.rfind("Usage:", 0) != 0) lines.push_back(line);
        start = end + 1;
    }
    std::string message;
    for (auto it = lines.begin(); it != lines.end(); ++it) {
        std::string line = *it;
        const std::string prefix = "corvaline-cli: ";
        if (line.rfind(prefix, 0) == 0) {
            line.erase(0, prefix.size());
            message.clear();  // the last refusal starts here
        }
        if (!message.empty()) message += " ";
        message += line;
    }
    return message.empty() ? "the render failed without a message" : message;
}

class BatchDisplay {
  public:
    BatchDisplay(std::vector<BatchJob>& jobs, std::mutex& lock)
        : jobs_(jobs), lock_(lock), terminal_(isatty(2) == 1) {}

    // Redraws the overall line (terminal only). Called under the lock.
    void draw() {
        if (!terminal_) return;
        int finished = 0;
        double partial = 0;
        std::string current;
        for (const BatchJob& job : jobs_) {
            if (job.done) ++finished;
            if (job.running) {
                partial += job.fraction;
                if (current.size() < 60) {
                    char part[96];
                    std::snprintf(part, sizeof part, "  %s %d%%",
                                  job.input.filename().string().substr(0, 28).c_str(),
                                  int(job.fraction * 100));
                    current += part;
                }
            }
        }
        const double overall = jobs_.empty() ? 1.0 : (finished + partial) / double(jobs_.size());
        shown_ = std::max(shown_, overall);  // never moves back when a file changes phase
        constexpr int width = 24;
        const int filled = int(shown_ * width);
        std::fprintf(stderr, "\r\033[K%d/%zu [%s%s] %3d%%%s", finished, jobs_.size(),
                     std::string(size_t(filled), '#').c_str(),
                     std::string(size_t(width - filled), '-').c_str(), int(shown_ * 100),
                     current.c_str());
        std::fflush(stderr);
        drawn_ = true;
    }

    // One line per finished file: above the bar on a terminal, alone otherwise.
    void finished(const BatchJob& job, size_t index) {
        if (drawn_) std::fprintf(stderr, "\r\033[K");
        std::fprintf(stderr, "[%zu/%zu] %s: %s\n", index + 1, jobs_.size(),
                     job.input.filename().string().c_str(), outcome(job).c_str());
        for (const std::string& warning : job.warnings)
            std::fprintf(stderr, "      %s\n", warning.c_str());
        std::fflush(stderr);
        drawn_ = false;
    }

    void clear() {
        if (drawn_) std::fprintf(stderr, "\r\033[K");
        std::fflush(stderr);
        drawn_ = false;
    }

    static std::string outcome(const BatchJob& job) {
        if (job.refusal) return "skipped: " + *job.refusal;
        if (job.status == 130) return "cancelled";
        if (job.status != 0 && job.status != kNotCompliant) return "failed: " + job.error;
        const QCReport::Json& verdict = member(job.entry, "verdict");
        if (verdict.is_object()) {
            return verdict.value("compliant", false)
                       ? "compliant"
                       : "not compliant: " + verdict.value("reason", std::string());
        }
        return "rendered";
    }

  private:
    std::vector<BatchJob>& jobs_;
    std::mutex& lock_;
    bool terminal_;
    bool drawn_ = false;
    double shown_ = 0;
};

void printSummary(const std::vector<BatchJob>& jobs) {
    size_t nameWidth = 4;
    for (const BatchJob& job : jobs) {
        nameWidth = std::max(nameWidth, std::min<size_t>(40, job.input.filename().string().size()));
    }
    std::printf("\n%-*s  %-13s  %-11s  %-10s  %s\n", int(nameWidth), "File", "Result", "Integrated",
                "True peak", "Compliance");
    for (const BatchJob& job : jobs) {
        std::string name = job.input.filename().string();
        if (name.size() > 40) name = name.substr(0, 39) + "~";
        std::string result, integrated = "-", peak = "-", compliance = "-";
        if (job.refusal) {
            result = "skipped";
            compliance = *job.refusal;
        } else if (job.status == 130 || job.status < 0) {
            result = "cancelled";
        } else if (job.status != 0 && job.status != kNotCompliant) {
            result = "failed";
            compliance = job.error;
        } else {
            result = "rendered";
            const QCReport::Json& loudness = member(job.entry, "loudness");
            if (member(loudness, "integrated").is_number()) {
                integrated = oneDecimal(loudness["integrated"].get<double>(), "LUFS");
            }
            if (member(loudness, "truePeak").is_number()) {
                peak = oneDecimal(loudness["truePeak"].get<double>(), "dBTP");
            }
            const QCReport::Json& verdict = member(job.entry, "verdict");
            if (verdict.is_object()) {
                compliance = verdict.value("compliant", false)
                                 ? "compliant"
                                 : "no: " + verdict.value("reason", std::string());
            }
        }
        std::printf("%-*s  %-13s  %-11s  %-10s  %s\n", int(nameWidth), name.c_str(), result.c_str(),
                    integrated.c_str(), peak.c_str(), compliance.c_str());
    }
}

}  // namespace

bool isBatchRender(const std::vector<std::string>& argv) {
    for (const std::string& a : argv) {
        if (a == "--") return false;
        if (a == "-d") return true;
    }
    return false;
}

int runBatchRender(const std::vector<std::string>& argv) {
    const BatchArguments batch = parseBatch(argv);
    // Settings and delivery options are checked once here, before any file is touched; the
    // standard is the one every file's render is judged by.
    Arguments check(batch.forwarded);
    for (const char* option :
         {"--bits", "--process", "--model", "--reduction", "--sidon-quality", "--original-mix"}) {
        check.option(option);
    }
    const DeliveryStandard* standard = parseDeliveryOptions(check).standard;
    parseSettingsOptions(check);

    std::error_code error;
    if (fs::exists(batch.folder, error) && !fs::is_directory(batch.folder, error)) {
        throw AudioFailure("The output folder " + quotedName(batch.folder) + " is a file.");
    }
    fs::create_directories(batch.folder, error);
    if (error) {
        throw AudioFailure("Could not create the output folder " + quotedName(batch.folder) + ": " +
                           error.message() + ".");
    }

    std::vector<BatchJob> jobs;
    std::vector<BatchJob> missing;
    const std::vector<fs::path> files = expandInputs(batch.inputs, missing);
    std::map<fs::path, fs::path> claimed;  // output -> the input that writes it
    for (const fs::path& file : files) {
        BatchJob job;
        job.input = fs::absolute(file);
        job.output = fs::absolute(batch.folder / file.stem()).concat(".wav");
        const fs::path key = job.output.lexically_normal();
        if (const auto it = claimed.find(key); it != claimed.end()) {
            job.refusal = "its output " + quotedName(job.output) + " is already written by " +
                          quotedName(it->second) + "; rename one of them.";
        } else {
            claimed[key] = job.input;
            std::error_code existsError;
            if (!batch.overwrite && fs::exists(fs::symlink_status(job.output, existsError))) {
                job.refusal = quotedName(job.output) +
                              " already exists in the output folder; use "
                              "--overwrite to replace it.";
            }
        }
        jobs.push_back(std::move(job));
    }
    jobs.insert(jobs.end(), missing.begin(), missing.end());
    if (jobs.empty()) throw AudioFailure("The inputs hold no audio or video files to render.");

    const fs::path entries = paths::temporaryFolder() / ("corvaline-batch-" + newUuidString());
    fs::create_directories(entries);
    const ScopedRemoval removeEntries(entries);

    const fs::path self = fs::read_symlink("/proc/self/exe");
    const int workers =
        std::max(1, std::min<int>(batch.jobs.value_or(defaultJobs()), int(jobs.size())));
    std::mutex lock;
    BatchDisplay display(jobs, lock);
    std::atomic<size_t> next{0};
    std::atomic<size_t> finishedCount{0};

    return runCancellable([&](std::stop_token cancel) {
        auto work = [&] {
            for (;;) {
                const size_t index = next.fetch_add(1);
                if (index >= jobs.size()) return;
                BatchJob& job = jobs[index];
                if (job.refusal || cancel.stop_requested()) {
                    std::lock_guard guard(lock);
                    job.done = true;
                    if (!job.refusal) job.status = 130;
                    display.finished(job, finishedCount++);
                    continue;
                }
                const fs::path entryFile = entries / ("entry-" + std::to_string(index) + ".json");
                ProcessOptions options;
                options.executable = self;
                options.arguments = {"render", "-o", job.output.string()};
                options.arguments.insert(options.arguments.end(), batch.forwarded.begin(),
                                         batch.forwarded.end());
                if (batch.report || standard) {
                    options.arguments.push_back("--report");
                    options.arguments.push_back(entryFile.string());
                }
                options.arguments.push_back(job.input.string());
                options.environmentAdditions["CORVALINE_PROGRESS_LINES"] = "1";
                options.standardOutput = ProcessOutput::captured(4096, ProcessOutput::Keep::tail);
                options.standardError = ProcessOutput::captured(8192, ProcessOutput::Keep::tail);
                OutputLineReader lines;
                options.onOutputChunk = [&](std::string_view chunk) {
                    lines.feed(chunk, [&](std::string_view line) {
                        const auto j = nlohmann::json::parse(line, nullptr, false);
                        if (!j.is_object() || !j.contains("corvaline_progress")) return;
                        const auto& x = j["corvaline_progress"];
                        if (!x.is_number()) return;
                        std::lock_guard guard(lock);
                        job.fraction = std::clamp(x.get<double>(), 0.0, 1.0);
                        if (j.contains("phase") && j["phase"].is_string()) {
                            job.phase = j["phase"].get<std::string>();
                        }
                    });
                };
                {
                    std::lock_guard guard(lock);
                    job.running = true;
                }
                ProcessResult result;
                try {
                    result = runProcess(options, cancel);
                    job.status = result.exited ? result.exitCode : 128 + result.signal;
                    job.warnings = warningLines(result.standardError);
                    if (job.status != 0 && job.status != kNotCompliant) {
                        job.error = result.exited ? lastMessage(result.standardError)
                                                  : "the render stopped unexpectedly (signal " +
                                                        std::to_string(result.signal) + ")";
                    }
                } catch (const Cancelled&) {
                    job.status = 130;
                } catch (const std::exception& e) {
                    job.status = 1;
                    job.error = describeFailure(e);
                }
                if (job.status == 0 || job.status == kNotCompliant) {
                    try {
                        job.entry = QCReport::read(entryFile)["files"].at(0);
                    } catch (const std::exception&) {
                        job.entry = QCReport::Json::object();
                    }
                }
                std::lock_guard guard(lock);
                job.running = false;
                job.done = true;
                display.finished(job, finishedCount++);
            }
        };
        std::vector<std::thread> threads;
        for (int w = 0; w < workers; ++w)
            threads.emplace_back(work);
        while (finishedCount.load() < jobs.size()) {
            {
                std::lock_guard guard(lock);
                display.draw();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        for (auto& thread : threads)
            thread.join();
        display.clear();

        printSummary(jobs);
        int status = 0;
        bool cancelled = false;
        std::vector<QCReport::Json> reportEntries;
        for (const BatchJob& job : jobs) {
            if (job.status == 130) cancelled = true;
            if (job.refusal || (job.status != 0 && job.status != kNotCompliant)) {
                if (job.status != 130) status = 1;
                reportEntries.push_back(QCReport::failedEntry(job.input, job.refusal ? *job.refusal
                                                                         : job.status == 130
                                                                             ? "cancelled"
                                                                             : job.error));
            } else {
                if (job.status == kNotCompliant && status == 0) status = kNotCompliant;
                reportEntries.push_back(job.entry);
            }
        }
        if (batch.report) QCReport::write(*batch.report, QCReport::report(reportEntries, standard));
        if (cancelled) throw Cancelled();
        return status;
    });
}

}  // namespace corvaline::cli
