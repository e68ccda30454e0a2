// libcurl is opened the first time a download needs it: commands that download nothing never
// map it (nor the TLS libraries behind it), and a machine without it reads what is missing
// when it asks for a model instead of a program that cannot start.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "DemoTakeTest.hpp"
#include "TestSupport.hpp"
#include "audiocore/platform/Paths.hpp"

namespace corvaline {
namespace {

namespace fs = std::filesystem;
const auto quote = test::shellQuote;

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class LazyCurlTest : public test::DemoTakeTest {
  protected:
    /// Runs the command line with `arguments` after `environment` (VAR=value ...), its model
    /// folder inside this test's folder, output and error output together.
    test::ShellResult cli(const std::string& arguments, const std::string& environment = "") {
        return test::runShell("XDG_DATA_HOME=" + quote((dir / "data").string()) + " " +
                              environment + " " + quote(test::cliProgram().string()) + " " +
                              arguments + " 2>&1");
    }
};

TEST_F(LazyCurlTest, CommandsThatDownloadNothingNeverMapIt) {
    for (const std::string& arguments :
         {std::string("--help"), "info " + quote(wav.string()), std::string("models")}) {
        const auto run = cli(arguments, "LD_DEBUG=files");
        EXPECT_EQ(run.status, 0) << arguments << "\n" << run.output.substr(0, 2000);
        EXPECT_TRUE(contains(run.output, "calling init")) << "LD_DEBUG gave nothing";
        EXPECT_FALSE(contains(run.output, "libcurl")) << arguments;
        EXPECT_FALSE(contains(run.output, "libssl")) << arguments;
    }
}

TEST_F(LazyCurlTest, ADownloadWithoutItIsAClearRefusal) {
    const std::string hidden =
        "LD_PRELOAD=" + quote((paths::executableFolder() / "hide_library_shim.so").string()) +
        " CORVALINE_HIDE_LIBRARY=libcurl";
    const auto refused = cli("models install dfn3", hidden);
    EXPECT_EQ(refused.status, 1) << refused.output;
    EXPECT_TRUE(contains(refused.output, "Could not download \u201c")) << refused.output;
    EXPECT_TRUE(contains(refused.output, "libcurl.so.4")) << refused.output;
    EXPECT_TRUE(contains(refused.output, "could not be loaded")) << refused.output;
    EXPECT_TRUE(contains(refused.output, "on Debian: libcurl4")) << refused.output;
    // The refusal stands alone: the connection and the disk are not what is wrong.
    EXPECT_TRUE(contains(refused.output, "\ncorvaline-cli: Could not download \u201cdeep-filter"))
        << refused.output;
    EXPECT_FALSE(contains(refused.output, "Installation could not finish")) << refused.output;

    // Everything else still works without it.
    const auto info = cli("info " + quote(wav.string()), hidden);
    EXPECT_EQ(info.status, 0) << info.output;
}

}  // namespace
}  // namespace corvaline
