// The commands take videos like any recording: the audio tracks are imported onto the movie's
// timeline first, processed together, and the temporary import folder is gone afterwards.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "TestSupport.hpp"
#include "audiocore/files/AudioIO.hpp"
#include "audiocore/platform/Paths.hpp"

namespace corvaline {
namespace {

namespace fs = std::filesystem;

int shell(const std::string& command, std::string* out = nullptr) {
    test::ShellResult result = test::runShell(command);
    if (out) *out = std::move(result.output);
    return result.status;
}

TEST(VideoInputCommand, RenderAndLoudnessUseEveryTrackOfAMovie) {
    const fs::path cli = test::cliProgram();
    if (!fs::exists(cli)) GTEST_SKIP() << "corvaline-cli is not built";
    test::TempDir dir;
    const fs::path movie = dir / "two tracks.mov";
    // Track 1: mono 48 kHz tone; track 2: stereo 44.1 kHz tone, 2 s long each.
    ASSERT_EQ(shell("ffmpeg -nostdin -loglevel error -f lavfi -i testsrc=d=2:s=64x48:r=25 "
                    "-f lavfi -i sine=f=440:d=2:sample_rate=48000 "
                    "-f lavfi -i sine=f=880:d=2:sample_rate=44100 -map 0 -map 1 -map 2 "
                    "-c:v mpeg4 -c:a pcm_s16le -ac:a:1 2 '" +
                    movie.string() + "'"),
              0);

    // The import folder goes to TMPDIR; point it at our own folder to see that it is removed.
    const fs::path tmp = dir / "tmp";
    fs::create_directories(tmp);
    const std::string env = "TMPDIR='" + tmp.string() + "' ";
    const fs::path rendered = dir / "finished.wav";
    ASSERT_EQ(shell(env + "'" + cli.string() + "' render '" + movie.string() + "' -o '" +
                    rendered.string() + "' --preset Transparent 2>&1 >/dev/null"),
              0);
    const AudioInfo info = AudioIO::analyze(rendered);
    EXPECT_EQ(info.channelCount(), 3);
    EXPECT_EQ(info.sampleRate, 48000);
    EXPECT_NEAR(double(info.frameCount), 96000, 1);
    for (const auto& channel : info.channels)
        EXPECT_GT(channel.rms, 0.05f) << channel.name;

    std::string out;
    ASSERT_EQ(shell(env + "'" + cli.string() + "' loudness '" + movie.string() + "' --json", &out),
              0);
    EXPECT_EQ(nlohmann::json::parse(out)["channels"], nlohmann::json::array({1, 2, 3}));
    EXPECT_TRUE(fs::is_empty(tmp)) << "the temporary import folder was left behind";
}

}  // namespace
}  // namespace corvaline
