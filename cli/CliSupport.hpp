#pragma once
// Helpers shared by the commands: option scanning, the settings options, channel lists, a
// progress bar on standard error, cancellation by Ctrl-C and other terminal signals, and
// recordings opened from the command line.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "audiocore/model/AudioInfo.hpp"
#include "audiocore/model/ProcessingSettings.hpp"
#include "audiocore/platform/WorkingFile.hpp"

namespace corvaline::cli {

/// Scans a command's arguments. Options are taken out as they are asked for ("--name value" or
/// "--name=value"); whatever is left must be positional. "--" ends the options: everything
/// after it is positional, even when it starts with "-". Errors are UsageError.
class Arguments {
  public:
    explicit Arguments(std::vector<std::string> args);

    /// Removes `name` and reports whether it was present.
    bool flag(std::string_view name);
    /// Removes the last "name value" pair (any earlier ones too) and returns the value.
    std::optional<std::string> option(std::string_view name);
    /// Removes every "name value" pair, in order. A separate value that looks like an option
    /// ("-o -out.wav") is refused as a probable mistake; "name=value" takes it as written.
    std::vector<std::string> options(std::string_view name);
    /// The remaining arguments (those after "--" last); an unknown "--option" left before
    /// "--" is a UsageError.
    std::vector<std::string> positionals() const;
    /// Exactly `count` positionals, else a UsageError naming `what`.
    std::vector<std::string> positionals(size_t count, std::string_view what) const;

  private:
    std::vector<std::string> args_;
    std::vector<std::string> afterOptions_;  // everything after "--"
};

/// A finite number, else UsageError naming `option`.
double parseNumber(const std::string& text, std::string_view option);
/// A whole number, else UsageError naming `option`.
int64_t parseInteger(const std::string& text, std::string_view option);

/// The settings options shared by the commands:
///   --preset NAME | --settings FILE.json   the starting point (default "Dialogue Balanced")
///   --set field=value                      repeated; applied in order
///   --ceiling DB                           the limiter ceiling, also required of the result
struct SettingsOptions {
    ProcessingSettings settings;
    std::optional<double> ceiling;
};
SettingsOptions parseSettingsOptions(Arguments& args);

/// Per-channel flags from "--process 1,2" (1-based channel numbers; "all" or absent: every
/// channel). UsageError for a channel outside 1...channelCount.
std::vector<ChannelSettings> parseProcess(const std::optional<std::string>& list, int channelCount);

/// A progress bar on standard error, drawn only when it is a terminal; rate-limited.
class ProgressBar {
  public:
    explicit ProgressBar(std::string label);
    ~ProgressBar();
    /// Draws the fraction 0...1 (callable from any one thread at a time).
    void operator()(double fraction);
    /// Erases the bar.
    void finish();

  private:
    std::string label_;
    bool active_;
    bool drawn_ = false;
    int lastPercent_ = -1;
};

/// Runs `work` on a worker thread while this thread waits for SIGINT, SIGTERM, SIGHUP or
/// SIGQUIT; each asks the work to stop through its token, so working files and folders are
/// removed as on any other failure. The work's result is returned and its exception
/// rethrown here (Cancelled after a Ctrl-C).
int runCancellable(const std::function<int(std::stop_token)>& work);

/// A recording named on the command line, ready for the engine. Audio files are read where they
/// are; videos and MXF files are imported first (their audio tracks merged onto the movie's
/// timeline) into a working folder: `keep` when given, else a "Corvaline-UUID" working folder
/// removed when this object goes away (or at the next start after a kill). Import shows a progress
/// bar and is cancelled by Ctrl-C. What the user should know about an audio file (one cut
/// short, for example) is printed on standard error as "Warning: ..." unless `quiet`.
class InputRecording {
  public:
    explicit InputRecording(const std::filesystem::path& path,
                            const std::optional<std::filesystem::path>& keep = std::nullopt,
                            bool quiet = false);
    InputRecording(const InputRecording&) = delete;
    InputRecording& operator=(const InputRecording&) = delete;

    /// The file the user named.
    const std::filesystem::path& source() const { return source_; }
    /// The audio file the engine reads (the extracted audio for videos and MXF).
    const std::filesystem::path& audio() const { return audio_; }
    /// The imported recording for videos and MXF; none for audio files.
    const std::optional<AudioInfo>& imported() const { return imported_; }
    /// Format of audio(), read once when the recording is opened.
    double sampleRate() const { return sampleRate_; }
    int channelCount() const { return channelCount_; }
    int64_t length() const { return length_; }

  private:
    std::filesystem::path source_;
    std::filesystem::path audio_;
    std::optional<AudioInfo> imported_;
    std::optional<WorkingFolder> workingFolder_;
    double sampleRate_ = 0;
    int channelCount_ = 0;
    int64_t length_ = 0;
};

/// `text` made safe for a terminal: invalid UTF-8 repaired and control characters (C0, DEL,
/// C1) shown as U+FFFD, so that a file name or recorder field cannot clear the screen or
/// forge lines. Line feeds stay when `keepLineBreaks`.
std::string printable(std::string_view text, bool keepLineBreaks = false);

/// "1 channel", "2 channels".
std::string countText(int64_t count, std::string_view singular);

/// "+1.25" style text of a dB value; "-inf" for minus infinity.
std::string formatDB(double value, int decimals = 1);

}  // namespace corvaline::cli
