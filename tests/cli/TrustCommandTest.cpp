// corvaline-cli against hostile names and files, odd destinations and signals, run as child
// processes.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "../finishing/FinishingFixtures.hpp"
#include "TestSupport.hpp"
#include "audiocore/files/AudioIO.hpp"

namespace corvaline {
namespace {

namespace fs = std::filesystem;
const auto quote = test::shellQuote;

test::ShellResult cli(const std::string& arguments, const std::string& environment = "") {
    return test::runShell(environment + " " + quote(test::cliProgram().string()) + " " + arguments +
                          " 2>&1");
}

std::string le32(uint32_t value) {
    return {char(value), char(value >> 8), char(value >> 16), char(value >> 24)};
}

std::vector<std::string> names(const fs::path& folder) {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(folder))
        found.push_back(entry.path().filename().string());
    std::sort(found.begin(), found.end());
    return found;
}

class TrustTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!fs::exists(test::cliProgram())) GTEST_SKIP() << "corvaline-cli is not built";
        input = dir / "take.wav";
        test::writeWave(input, test::generate(1, 4800, test::sine(0.5, 440)), 48000, 24);
    }
    test::TempDir dir;
    fs::path input;
};

TEST_F(TrustTest, DoubleDashEndsOptionsAndDashedOutputsAreRefused) {
    fs::copy_file(input, dir / "-rf.wav");
    const auto info =
        cli("info -- " + quote("-rf.wav"), "cd " + quote(dir.path().string()) + " &&");
    EXPECT_EQ(info.status, 0) << info.output;
    EXPECT_NE(info.output.find("-rf.wav"), std::string::npos) << info.output;

    // "-o -out.wav" is a probable mistake; "-o=-out.wav" or "./-out.wav" say what is meant.
    const std::string in = "cd " + quote(dir.path().string()) + " &&";
    const auto dashed = cli("render take.wav -o -out.wav", in);
    EXPECT_EQ(dashed.status, 2) << dashed.output;
    EXPECT_NE(dashed.output.find("looks like an option"), std::string::npos) << dashed.output;
    EXPECT_FALSE(fs::exists(dir / "-out.wav"));
    const auto meant = cli("render take.wav -o=-out.wav", in);
    EXPECT_EQ(meant.status, 0) << meant.output;
    EXPECT_TRUE(fs::exists(dir / "-out.wav"));
}

TEST_F(TrustTest, DestinationsThatAreNotFilesAreRefusedBeforeAnyWork) {
    test::writeFile(dir / "target.wav", "keep me");
    fs::create_symlink(dir / "target.wav", dir / "link.wav");
    ASSERT_EQ(::mkfifo((dir / "pipe.wav").c_str(), 0644), 0);
    fs::create_directory(dir / "folder.wav");
    for (const char* name : {"link.wav", "pipe.wav", "folder.wav"}) {
        const auto run =
            cli("render " + quote(input.string()) + " -o " + quote((dir / name).string()));
        EXPECT_EQ(run.status, 1) << name << ": " << run.output;
        EXPECT_NE(run.output.find(name), std::string::npos) << run.output;
        EXPECT_NE(run.output.find("Choose a regular file name"), std::string::npos) << run.output;
    }
    EXPECT_TRUE(fs::is_symlink(dir / "link.wav"));
    EXPECT_EQ(test::readFile(dir / "target.wav"), "keep me");
    EXPECT_TRUE(fs::is_fifo(dir / "pipe.wav"));
    EXPECT_TRUE(fs::is_empty(dir / "folder.wav"));
    const auto missing = cli("render " + quote(input.string()) + " -o " +
                             quote((dir / "none" / "out.wav").string()));
    EXPECT_NE(missing.output.find("does not exist"), std::string::npos) << missing.output;
    EXPECT_EQ(names(dir.path()), (std::vector<std::string>{"folder.wav", "link.wav", "pipe.wav",
                                                           "take.wav", "target.wav"}));
}

TEST_F(TrustTest, ReplacingAPrivateFileKeepsItPrivate) {
    const auto out = dir / "private.wav";
    test::writeFile(out, "old");
    ::chmod(out.c_str(), 0600);
    const auto run = cli("render " + quote(input.string()) + " -o " + quote(out.string()));
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("1 channel,"), std::string::npos) << run.output;  // not "1 channels"
    struct stat st {};
    ASSERT_EQ(::stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_GT(st.st_size, 1000);
    EXPECT_EQ(names(dir.path()), (std::vector<std::string>{"private.wav", "take.wav"}));
}

TEST_F(TrustTest, HangupQuitAndKillLeaveNothingBehind) {
    const auto source = dir / "long.wav";
    test::writeWave(source, test::generate(8, 48000 * 60, test::sine(0.3, 220)));
    for (const int signal : {SIGHUP, SIGQUIT, SIGKILL}) {
        const auto out = dir / "out.wav";
        const pid_t child = test::spawn(
            {test::cliProgram().string(), "render", source.string(), "-o", out.string()});
        ASSERT_GT(child, 0);
        // Signal it once it holds a working file in the destination's folder.
        const auto writing = [&] { return test::holdsFileIn(child, dir.path(), "long.wav"); };
        for (int i = 0; i < 2000 && !writing(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ::kill(child, signal);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        if (signal != SIGKILL && WIFEXITED(status) && WEXITSTATUS(status) == 0) {
            fs::remove(out);  // it finished before the signal arrived: nothing to check
            continue;
        }
        if (signal != SIGKILL) {
            ASSERT_TRUE(WIFEXITED(status)) << signal;
            EXPECT_EQ(WEXITSTATUS(status), 130) << signal;
        }
        EXPECT_EQ(names(dir.path()), (std::vector<std::string>{"long.wav", "take.wav"})) << signal;
    }
}

TEST_F(TrustTest, StaleWorkingFoldersOfDeadRunsAreRemovedAtStart) {
    const auto temporary = dir / "tmp";
    fs::create_directories(temporary / "Corvaline-DEAD" / "Video-1");
    test::writeFile(temporary / "Corvaline-DEAD" / "Video-1" / "Audio.caf", "left over");
    // A process id that cannot exist (above the kernel's pid limit).
    test::writeFile(temporary / "Corvaline-DEAD" / ".owner", "99999999 12345\n");
    fs::create_directories(temporary / "Corvaline-FOREIGN");
    const auto run = cli("info " + quote(input.string()), "TMPDIR=" + quote(temporary.string()));
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_FALSE(fs::exists(temporary / "Corvaline-DEAD"));
    EXPECT_TRUE(fs::exists(temporary / "Corvaline-FOREIGN"));
}

TEST_F(TrustTest, InfoShowsNoControlCharactersAndWarnsOfTruncation) {
    // An iXML scene that would clear the screen and forge a line, in a recording that was cut
    // short: its data chunk declares 144000 frames and holds 359.
    const std::string scene = "12A\x1b[2J\x1b[H\rTake: forged\n\x9b";
    const std::string ixml = "<X><SCENE>" + scene +
                             "</SCENE><TRACK_LIST><TRACK><NAME>Bo\x07om</NAME></TRACK>"
                             "</TRACK_LIST></X>";
    std::string bytes = "RIFF" + le32(0) + "WAVE";
    bytes += "fmt " + le32(16) + std::string("\x01\x00\x01\x00", 4) + le32(48000) + le32(96000) +
             std::string("\x02\x00\x10\x00", 4);
    bytes += "iXML" + le32(uint32_t(ixml.size())) + ixml + std::string(ixml.size() % 2, '\0');
    bytes += "data" + le32(144000 * 2);
    for (int i = 0; i < 359; ++i)
        bytes += std::string{char(i * 91), char((i * 91) >> 8)};
    // The RIFF size the recorder wrote up front counts the whole declared take.
    bytes.replace(4, 4, le32(uint32_t(bytes.size() - 8 + (144000 - 359) * 2)));
    const auto file = dir / "cut\x1b[31m.wav";
    test::writeFile(file, bytes);

    const auto text = cli("info " + quote(file.string()));
    ASSERT_EQ(text.status, 0) << text.output;
    EXPECT_EQ(text.output.find('\x1b'), std::string::npos) << text.output;
    EXPECT_EQ(text.output.find('\x07'), std::string::npos);
    EXPECT_EQ(text.output.find('\r'), std::string::npos);
    EXPECT_EQ(text.output.find("\nTake: forged"), std::string::npos) << text.output;
    EXPECT_EQ(text.output.find("\xc2\x9b"), std::string::npos);
    const std::string damaged =
        "Warning:         \u201ccut\ufffd[31m.wav\u201d is damaged: its header promises 0:03.0 but "
        "less than 0:00.1 is present; Corvaline imports the part that is present.\n";
    EXPECT_NE(text.output.find(damaged), std::string::npos) << text.output;

    const auto json = cli("info --json " + quote(file.string()));
    ASSERT_EQ(json.status, 0) << json.output;
    const auto parsed = nlohmann::json::parse(json.output);
    EXPECT_EQ(parsed["metadata"]["scene"],
              "12A\x1b[2J\x1b[H\nTake: forged\n\xef\xbf\xbd");  // XML reads CR as LF
    ASSERT_EQ(parsed["warnings"].size(), 1u);
    EXPECT_EQ(parsed["warnings"][0].get<std::string>(),
              "\u201ccut\x1b[31m.wav\u201d is damaged: its header promises 0:03.0 but less than "
              "0:00.1 is present; Corvaline imports the part that is present.");
    EXPECT_EQ(parsed["frameCount"], 359);
    // Info shows the warning once, in its report.
    EXPECT_EQ(text.output.find("is damaged", text.output.find("is damaged") + 1), std::string::npos)
        << text.output;
}

TEST_F(TrustTest, CommandsOnARecordingCutShortWarnAndUseWhatIsPresent) {
    // Two seconds promised, 1.5 written: the render warns on standard error and succeeds.
    test::writeWave(input, test::generate(1, 96000, test::sine(0.5, 440)), 48000, 24);
    const auto size = fs::file_size(input);
    fs::resize_file(input, size - 24000 * 3);
    const auto out = dir / "out.wav";
    const auto render =
        test::runShell(quote(test::cliProgram().string()) + " render " + quote(input.string()) +
                       " -o " + quote(out.string()) + " 2>&1 >/dev/null");
    ASSERT_EQ(render.status, 0) << render.output;
    EXPECT_NE(render.output.find("Warning: \u201ctake.wav\u201d is damaged: its header promises "
                                 "0:02.0 but only 0:01.5 is present; Corvaline imports the part "
                                 "that is present.\n"),
              std::string::npos)
        << render.output;
    EXPECT_EQ(AudioIO::open(out)->length(), 72000);

    // A whole file says nothing of the kind.
    test::writeWave(input, test::generate(1, 4800, test::sine(0.5, 440)), 48000, 24);
    const auto whole = cli("loudness " + quote(input.string()));
    ASSERT_EQ(whole.status, 0) << whole.output;
    EXPECT_EQ(whole.output.find("Warning"), std::string::npos) << whole.output;
}

}  // namespace
}  // namespace corvaline
