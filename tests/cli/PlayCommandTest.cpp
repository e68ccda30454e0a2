// corvaline-cli play when the sound output cannot start: the user reads which output failed and
// what to try, with SDL's own text only as detail on the line below.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "DemoTakeTest.hpp"
#include "TestSupport.hpp"

namespace corvaline {
namespace {

namespace fs = std::filesystem;
const auto quote = test::shellQuote;

class PlayCommandTest : public test::DemoTakeTest {
  protected:
    /// Error output only: what a user reads when the command fails.
    test::ShellResult cli(const std::string& arguments, const std::string& environment = "") {
        return test::runShell(environment + " " + quote(test::cliProgram().string()) + " " +
                              arguments + " 2>&1 >/dev/null");
    }
};

TEST_F(PlayCommandTest, AnOutputThatCannotStartIsExplainedWithSDLsTextBelow) {
    const auto unknown =
        cli("play " + quote(wav.string()) + " --end 0.1", "SDL_AUDIODRIVER=no-such-driver");
    EXPECT_EQ(unknown.status, 1) << unknown.output;
    EXPECT_EQ(unknown.output.rfind("corvaline-cli: The audio output could not start: the sound "
                                   "system \u201cno-such-driver\u201d named by SDL_AUDIODRIVER",
                                   0),
              0u)
        << unknown.output;
    const auto secondLine = unknown.output.find('\n') + 1;
    EXPECT_NE(unknown.output.find("no-such-driver", secondLine), std::string::npos)
        << unknown.output;

    const fs::path file = dir / "no-folder" / "out.raw";
    const auto unopened = cli("play " + quote(wav.string()) + " --end 0.1",
                              "SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE=" + quote(file.string()));
    EXPECT_EQ(unopened.status, 1) << unopened.output;
    EXPECT_NE(unopened.output.find("\u201c" + file.string() +
                                   "\u201d (SDL_AUDIODRIVER=disk) could not be opened for "),
              std::string::npos)
        << unopened.output;
}

}  // namespace
}  // namespace corvaline
