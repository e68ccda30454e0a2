// FFmpeg and SDL2 are opened on first use: a command that reads a WAV never maps them, one
// that reads compressed audio or plays a sound does, and a machine without them gets a
// refusal that says what is missing instead of a program that cannot start at all.

#include <gtest/gtest.h>

#include "FileFixtures.hpp"
#include "TestSupport.hpp"
#include "audiocore/platform/Paths.hpp"

namespace corvaline {
namespace {

namespace fs = std::filesystem;
using test::shellQuote;

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class LazyLibrariesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        wav = dir / "short.wav";
        m4a = dir / "short.m4a";
        ASSERT_EQ(test::run("ffmpeg -v error -nostdin -y -f lavfi -i sine=f=440:d=0.5 " +
                            shellQuote(wav.string())),
                  0);
        ASSERT_EQ(test::run("ffmpeg -v error -nostdin -y -f lavfi -i sine=f=440:d=0.5 -c:a aac " +
                            shellQuote(m4a.string())),
                  0);
    }

    /// Runs the command line with `arguments` and `environment` (VAR=value ...), output and
    /// error output together.
    static test::ShellResult cli(const std::string& arguments,
                                 const std::string& environment = "") {
        const fs::path program = paths::executableFolder() / "corvaline-cli";
        return test::runShell(environment + " " + shellQuote(program.string()) + " " + arguments +
                              " 2>&1");
    }

    /// The environment that hides libraries whose name contains `name` from dlopen.
    static std::string hiding(const std::string& name) {
        return "LD_PRELOAD=" +
               shellQuote((paths::executableFolder() / "hide_library_shim.so").string()) +
               " CORVALINE_HIDE_LIBRARY=" + name;
    }

    test::TempDir dir;
    fs::path wav, m4a;
};

TEST_F(LazyLibrariesTest, OnlyWhatACommandUsesIsLoaded) {
    // The dynamic loader lists every object it opens, dlopen included.
    for (const std::string& arguments :
         {std::string("--help"), "info " + shellQuote(wav.string())}) {
        const auto run = cli(arguments, "LD_DEBUG=files");
        EXPECT_EQ(run.status, 0) << arguments << "\n" << run.output.substr(0, 2000);
        EXPECT_TRUE(contains(run.output, "calling init")) << "LD_DEBUG gave nothing";
        EXPECT_FALSE(contains(run.output, "libavcodec")) << arguments;
        EXPECT_FALSE(contains(run.output, "libavformat")) << arguments;
        EXPECT_FALSE(contains(run.output, "libSDL2")) << arguments;
    }
    const auto compressed = cli("info " + shellQuote(m4a.string()), "LD_DEBUG=files");
    EXPECT_EQ(compressed.status, 0) << compressed.output.substr(0, 2000);
    EXPECT_TRUE(contains(compressed.output, "libavcodec"));
}

TEST_F(LazyLibrariesTest, MissingFFmpegIsAClearRefusalAndWavsStillWork) {
    const auto refused = cli("info " + shellQuote(m4a.string()), hiding("libavcodec"));
    EXPECT_NE(refused.status, 0);
    EXPECT_TRUE(contains(refused.output, "\u201Cshort.m4a\u201D")) << refused.output;
    EXPECT_TRUE(contains(refused.output, "FFmpeg's libraries")) << refused.output;
    EXPECT_TRUE(contains(refused.output, "could not be loaded")) << refused.output;
    EXPECT_TRUE(contains(refused.output, "libavcodec.so.")) << refused.output;

    const auto wavInfo = cli("info " + shellQuote(wav.string()), hiding("libavcodec"));
    EXPECT_EQ(wavInfo.status, 0) << wavInfo.output;
}

TEST_F(LazyLibrariesTest, MissingSDLIsAClearRefusalToPlay) {
    const auto refused = cli("play " + shellQuote(wav.string()) + " --end 0.1",
                             "SDL_AUDIODRIVER=dummy " + hiding("libSDL2"));
    EXPECT_NE(refused.status, 0);
    EXPECT_TRUE(contains(refused.output, "SDL2")) << refused.output;
    EXPECT_TRUE(contains(refused.output, "could not be loaded")) << refused.output;
    EXPECT_TRUE(contains(refused.output, "libsdl2-2.0-0")) << refused.output;

    const auto played =
        cli("play " + shellQuote(wav.string()) + " --end 0.1", "SDL_AUDIODRIVER=dummy");
    EXPECT_EQ(played.status, 0) << played.output;
}

}  // namespace
}  // namespace corvaline
