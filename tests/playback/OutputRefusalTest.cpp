// What a user reads when the audio output cannot start, made to fail with SDL's own drivers: a
// driver that does not exist, and the disk driver pointed into a folder that does not exist.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "TestSupport.hpp"
#include "playback/AudioEngine.hpp"

namespace corvaline::playback {
namespace {

class OutputRefusalTest : public ::testing::Test {
  protected:
    void TearDown() override {
        unsetenv("SDL_AUDIODRIVER");
        unsetenv("SDL_DISKAUDIOFILE");
        unsetenv("AUDIODEV");
    }

    /// The refusal of starting a 48 kHz player of `channels` channels; empty when it started.
    static std::string refusal(int channels = 2) {
        AudioEngine engine;
        engine.connectPlayer(48000, channels);
        try {
            engine.start();
        } catch (const AudioOutputError& error) {
            EXPECT_FALSE(engine.isRunning());
            return error.what();
        }
        EXPECT_TRUE(engine.isRunning());
        return {};
    }

    /// The user's words: the first line. SDL's text may only follow on the second.
    static std::string firstLine(const std::string& text) {
        return text.substr(0, text.find('\n'));
    }
    static std::string secondLine(const std::string& text) {
        const auto end = text.find('\n');
        return end == std::string::npos ? std::string() : text.substr(end + 1);
    }

    test::TempDir dir;
};

TEST_F(OutputRefusalTest, AnUnknownDriverIsNamedWithWhatToTryAndSDLsTextBelow) {
    setenv("SDL_AUDIODRIVER", "no-such-driver", 1);
    const std::string text = refusal();
    const std::string words = firstLine(text);
    EXPECT_EQ(words.rfind("The audio output could not start: the sound system "
                          "\u201cno-such-driver\u201d named by SDL_AUDIODRIVER is not available",
                          0),
              0u)
        << text;
    EXPECT_NE(words.find("Remove SDL_AUDIODRIVER"), std::string::npos) << text;
    // SDL's own sentence is detail, never the message.
    EXPECT_NE(secondLine(text).find("no-such-driver"), std::string::npos) << text;
    EXPECT_EQ(words.find("Audio target"), std::string::npos) << text;

    // Nothing of the failed start lingers: the next start with a working driver plays.
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    EXPECT_EQ(refusal(), "");
}

TEST_F(OutputRefusalTest, ADeviceThatCannotOpenIsNamedWithTheFormatAsked) {
    const std::string file = (dir / "missing-folder" / "out.raw").string();
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", file.c_str(), 1);
    const std::string stereo = refusal(2);
    EXPECT_EQ(firstLine(stereo).rfind("The audio output could not start: the sound file output "
                                      "\u201c" +
                                          file +
                                          "\u201d (SDL_AUDIODRIVER=disk) could not be opened "
                                          "for 48 kHz stereo playback. Check that the folder",
                                      0),
              0u)
        << stereo;
    EXPECT_FALSE(secondLine(stereo).empty()) << "SDL's text is kept as detail: " << stereo;
    // A mono player is heard on both sides, so the device is asked for stereo; more channels
    // are asked for as they are.
    EXPECT_NE(refusal(1).find(" 48 kHz stereo playback."), std::string::npos);
    EXPECT_NE(refusal(6).find(" 48 kHz 6-channel playback."), std::string::npos);

    // The refused start released SDL's audio subsystem: had it stayed up with the disk
    // driver, the next start would try the same file again instead of the driver now chosen.
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    EXPECT_EQ(refusal(), "");
}

TEST_F(OutputRefusalTest, ALibrarysOwnConsoleTextStaysOutOfTheTerminal) {
    // ALSA told to open a device that does not exist: its library would print "ALSA lib
    // pcm.c:…: Unknown PCM …" on standard error before the refusal.
    setenv("SDL_AUDIODRIVER", "alsa", 1);
    setenv("AUDIODEV", "corvaline-no-such-device", 1);
    const std::filesystem::path captured = dir / "stderr.txt";
    const int saved = dup(2);
    const int file = open(captured.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(file, 0);
    dup2(file, 2);
    close(file);
    const std::string text = refusal();
    dup2(saved, 2);
    close(saved);
    if (text.find("SDL_AUDIODRIVER is not available") != std::string::npos)
        GTEST_SKIP() << "SDL has no ALSA driver here";
    EXPECT_EQ(firstLine(text).rfind("The audio output could not start: the output device "
                                    "\u201ccorvaline-no-such-device\u201d named by AUDIODEV",
                                    0),
              0u)
        << text;
    EXPECT_EQ(test::readFile(captured), "");
}

}  // namespace
}  // namespace corvaline::playback
