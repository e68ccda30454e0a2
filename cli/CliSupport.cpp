#include "CliSupport.hpp"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <sstream>
#include <thread>

#include "Command.hpp"
#include "audiocore/files/AudioIO.hpp"
#include "audiocore/import/MediaImport.hpp"
#include "audiocore/model/SettingsJSON.hpp"
#include "audiocore/platform/Errors.hpp"
#include "audiocore/platform/Process.hpp"

namespace corvaline::cli {

namespace fs = std::filesystem;

namespace {

/// An argument that reads as an option: "-x" or "--x", but not "-" or a negative number.
bool looksLikeOption(const std::string& arg) {
    return arg.size() > 1 && arg[0] == '-' && !std::isdigit(static_cast<unsigned char>(arg[1])) &&
           arg[1] != '.';
}

}  // namespace

Arguments::Arguments(std::vector<std::string> args) {
    const auto end = std::find(args.begin(), args.end(), "--");
    args_.assign(args.begin(), end);
    if (end != args.end()) afterOptions_.assign(end + 1, args.end());
}

bool Arguments::flag(std::string_view name) {
    bool found = false;
    for (auto it = args_.begin(); it != args_.end();) {
        if (*it == name) {
            it = args_.erase(it);
            found = true;
        } else {
            ++it;
        }
    }
    return found;
}

std::vector<std::string> Arguments::options(std::string_view name) {
    std::vector<std::string> values;
    const std::string prefix = std::string(name) + "=";
    for (auto it = args_.begin(); it != args_.end();) {
        if (*it == name) {
            if (it + 1 == args_.end()) throw UsageError{std::string(name) + " needs a value"};
            if (looksLikeOption(*(it + 1))) {
                throw UsageError{std::string(name) + " needs a value, but \"" + *(it + 1) +
                                 "\" looks like an option; for a name that starts with \"-\", " +
                                 "write " + std::string(name) + "=" + *(it + 1) + " or ./" +
                                 *(it + 1)};
            }
            values.push_back(*(it + 1));
            it = args_.erase(it, it + 2);
        } else if (it->rfind(prefix, 0) == 0) {
            values.push_back(it->substr(prefix.size()));
            it = args_.erase(it);
        } else {
            ++it;
        }
    }
    return values;
}

std::optional<std::string> Arguments::option(std::string_view name) {
    auto values = options(name);
    if (values.empty()) return std::nullopt;
    return values.back();
}

std::vector<std::string> Arguments::positionals() const {
    for (const auto& arg : args_) {
        // A lone "-" or a negative number is a value, not an option.
        if (looksLikeOption(arg)) {
            throw UsageError{"unknown option " + arg +
                             " (put -- before a file name that starts "
                             "with \"-\")"};
        }
    }
    std::vector<std::string> all = args_;
    all.insert(all.end(), afterOptions_.begin(), afterOptions_.end());
    return all;
}

std::vector<std::string> Arguments::positionals(size_t count, std::string_view what) const {
    auto list = positionals();
    if (list.size() < count) throw UsageError{"missing " + std::string(what)};
    if (list.size() > count) throw UsageError{"unexpected argument " + list[count]};
    return list;
}

double parseNumber(const std::string& text, std::string_view option) {
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || end != text.c_str() + text.size() || errno != 0 || !std::isfinite(value)) {
        throw UsageError{std::string(option) + " expects a number, got \"" + text + "\""};
    }
    return value;
}

int64_t parseInteger(const std::string& text, std::string_view option) {
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || end != text.c_str() + text.size() || errno != 0) {
        throw UsageError{std::string(option) + " expects a whole number, got \"" + text + "\""};
    }
    return value;
}

SettingsOptions parseSettingsOptions(Arguments& args) {
    SettingsOptions result;
    const auto preset = args.option("--preset");
    const auto file = args.option("--settings");
    if (preset && file) throw UsageError{"use either --preset or --settings, not both"};
    if (preset) {
        const auto settings = presetNamed(*preset);
        if (!settings) {
            std::string titles;
            for (const auto& p : processingPresets())
                titles += "\n  " + p.title;
            throw UsageError{"unknown preset \"" + *preset + "\"; the presets are:" + titles};
        }
        result.settings = *settings;
    }
    if (file) {
        std::ifstream in(*file, std::ios::binary);
        if (!in) throw fileError("read the settings file", *file, errno ? errno : EIO);
        std::ostringstream text;
        text << in.rdbuf();
        if (in.bad()) throw fileError("read the settings file", *file, errno ? errno : EIO);
        try {
            result.settings = SettingsJSON::decode(text.str());
        } catch (const SettingsError& e) {
            throw SettingsError(*file + ": " + e.what());
        }
    }
    for (const auto& assignment : args.options("--set")) {
        SettingsJSON::assign(result.settings, assignment);
    }
    if (const auto ceiling = args.option("--ceiling")) {
        const double value = parseNumber(*ceiling, "--ceiling");
        SettingsJSON::assign(result.settings, "ceiling=" + *ceiling);
        result.ceiling = value;
    }
    return result;
}

std::vector<ChannelSettings> parseProcess(const std::optional<std::string>& list,
                                          int channelCount) {
    std::vector<ChannelSettings> channels(size_t(std::max(channelCount, 0)));
    if (!list || *list == "all") return channels;
    for (auto& channel : channels)
        channel.process = false;
    std::stringstream items(*list);
    std::string item;
    bool any = false;
    while (std::getline(items, item, ',')) {
        const int64_t number = parseInteger(item, "--process");
        if (number < 1 || number > channelCount) {
            throw UsageError{"--process: channel " + item + " does not exist (the file has " +
                             countText(channelCount, "channel") + ", numbered from 1)"};
        }
        channels[size_t(number - 1)].process = true;
        any = true;
    }
    if (!any) throw UsageError{"--process needs channel numbers such as 1,2"};
    return channels;
}

namespace {
// A batch render runs one child per file and reads their progress from standard output.
bool progressLines() {
    static const bool on = [] {
        const char* value = std::getenv("CORVALINE_PROGRESS_LINES");
        return value && std::string_view(value) == "1";
    }();
    return on;
}
}  // namespace

ProgressBar::ProgressBar(std::string label)
    : label_(std::move(label)), active_(isatty(2) == 1 && !progressLines()) {}

ProgressBar::~ProgressBar() {
    finish();
}

void ProgressBar::operator()(double fraction) {
    if (!active_ && !progressLines()) return;
    const int percent = int(std::clamp(fraction, 0.0, 1.0) * 100);
    if (percent == lastPercent_) return;
    lastPercent_ = percent;
    if (progressLines()) {
        std::printf("{\"corvaline_progress\": %.2f, \"phase\": \"%s\"}\n", percent / 100.0,
                    label_.c_str());
        std::fflush(stdout);
        return;
    }
    constexpr int width = 30;
    const int filled = percent * width / 100;
    std::string bar(size_t(filled), '#');
    bar.append(size_t(width - filled), '-');
    std::fprintf(stderr, "\r%s [%s] %3d%%", label_.c_str(), bar.c_str(), percent);
    std::fflush(stderr);
    drawn_ = true;
}

void ProgressBar::finish() {
    if (!drawn_) return;
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
    drawn_ = false;
    lastPercent_ = -1;
}

int runCancellable(const std::function<int(std::stop_token)>& work) {
    sigset_t signals, previous;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    sigaddset(&signals, SIGQUIT);
    // Blocked here and inherited by the worker, so only the sigtimedwait below sees them.
    pthread_sigmask(SIG_BLOCK, &signals, &previous);

    std::stop_source stop;
    std::atomic<bool> done{false};
    int result = 0;
    std::exception_ptr failure;
    std::thread worker([&] {
        try {
            result = work(stop.get_token());
        } catch (...) {
            failure = std::current_exception();
        }
        done = true;
    });
    const timespec tick{0, 50'000'000};
    while (!done) {
        if (sigtimedwait(&signals, nullptr, &tick) > 0) stop.request_stop();
    }
    worker.join();
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (failure) std::rethrow_exception(failure);
    return result;
}

std::string printable(std::string_view text, bool keepLineBreaks) {
    const std::string repaired = repairUtf8(text);
    std::string shown;
    shown.reserve(repaired.size());
    for (size_t i = 0; i < repaired.size(); ++i) {
        const auto byte = static_cast<unsigned char>(repaired[i]);
        const bool c0 = byte < 0x20 && !(keepLineBreaks && byte == '\n');
        // C1 controls (U+0080...U+009F) are 0xC2 0x80...0x9F in UTF-8.
        const bool c1 = byte == 0xC2 && i + 1 < repaired.size() &&
                        static_cast<unsigned char>(repaired[i + 1]) <= 0x9F &&
                        static_cast<unsigned char>(repaired[i + 1]) >= 0x80;
        if (c0 || byte == 0x7F || c1) {
            shown += "\uFFFD";
            if (c1) ++i;
        } else {
            shown += char(byte);
        }
    }
    return shown;
}

std::string countText(int64_t count, std::string_view singular) {
    return std::to_string(count) + " " + std::string(singular) + (count == 1 ? "" : "s");
}

std::string formatDB(double value, int decimals) {
    if (std::isinf(value)) return value < 0 ? "-inf" : "+inf";
    char text[32];
    std::snprintf(text, sizeof text, "%+.*f", decimals, value);
    return text;
}

InputRecording::InputRecording(const std::filesystem::path& path,
                               const std::optional<std::filesystem::path>& keep, bool quiet)
    : source_(path), audio_(path) {
    if (!MediaImport::isVideo(path)) {
        const auto reader = AudioIO::open(path);
        sampleRate_ = reader->sampleRate();
        channelCount_ = reader->channelCount();
        length_ = reader->length();
        if (!quiet) {
            for (const std::string& warning : AudioIO::warnings(path, *reader))
                std::fprintf(stderr, "Warning: %s\n", printable(warning).c_str());
        }
        return;
    }
    if (!keep) workingFolder_.emplace();
    const std::filesystem::path workspace = keep ? *keep : workingFolder_->path();
    runCancellable([&](std::stop_token cancel) {
        ProgressBar bar("Extracting audio from " + path.filename().string());
        imported_ = MediaImport::read(path, workspace, std::ref(bar), cancel);
        bar.finish();
        return 0;
    });
    audio_ = imported_->url;
    sampleRate_ = imported_->sampleRate;
    channelCount_ = imported_->channelCount();
    length_ = imported_->frameCount;
}

}  // namespace corvaline::cli
