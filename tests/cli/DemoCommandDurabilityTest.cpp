// corvaline-cli demo hands over its file the way every written file is handed over: whole, or
// not at all, and never at the cost of a file already under that name.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "TestSupport.hpp"
#include "audiocore/platform/Paths.hpp"

namespace corvaline {
namespace {

namespace fs = std::filesystem;
const auto quote = test::shellQuote;

class DemoDurabilityTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!fs::exists(test::cliProgram())) GTEST_SKIP() << "corvaline-cli is not built";
        test::writeFile(existing, kPrevious);
    }

    /// Runs `corvaline-cli demo OUT` after the shell commands in `before`.
    static test::ShellResult demo(const fs::path& out, const std::string& before = "") {
        return test::runShell(before + quote(test::cliProgram().string()) + " demo " +
                              quote(out.string()) + " 2>&1");
    }

    static constexpr const char* kPrevious = "the user's earlier recording";
    test::TempDir dir;
    fs::path existing = dir / "OUT.wav";
};

TEST_F(DemoDurabilityTest, ACrashWhileWritingLeavesTheExistingFileWholeAndNothingElse) {
    // A file-size limit far below the recording's 9 MB kills the program in the middle of
    // writing (SIGXFSZ), as a crash or a kill would.
    const auto killed = demo(existing, "ulimit -f 64; ");
    EXPECT_NE(killed.status, 0) << killed.output;
    EXPECT_EQ(test::readFile(existing), kPrevious);
    EXPECT_EQ(test::entries(dir.path()), std::vector<std::string>{"OUT.wav"});

    // Without the limit the same command replaces it with the whole recording.
    const auto written = demo(existing);
    ASSERT_EQ(written.status, 0) << written.output;
    EXPECT_GT(fs::file_size(existing), 4u * 4 * 576000);
    EXPECT_EQ(test::entries(dir.path()), std::vector<std::string>{"OUT.wav"});
}

TEST_F(DemoDurabilityTest, ADestinationThatCannotBeWrittenIsRefusedNamingTheFile) {
    const auto missing = demo(dir / "no-such-folder" / "OUT.wav");
    EXPECT_EQ(missing.status, 1) << missing.output;
    EXPECT_NE(missing.output.find("Could not write \u201cOUT.wav\u201d"), std::string::npos)
        << missing.output;
    EXPECT_NE(missing.output.find("does not exist"), std::string::npos) << missing.output;
    EXPECT_FALSE(fs::exists(dir / "no-such-folder"));

    fs::create_directory(dir / "folder.wav");
    const auto folder = demo(dir / "folder.wav");
    EXPECT_EQ(folder.status, 1) << folder.output;
    EXPECT_NE(folder.output.find("\u201cfolder.wav\u201d: it is a folder"), std::string::npos)
        << folder.output;

    if (::geteuid() != 0) {  // permissions do not stop the superuser
        fs::permissions(dir.path(), fs::perms::owner_read | fs::perms::owner_exec);
        const auto readOnly = demo(existing);
        fs::permissions(dir.path(), fs::perms::owner_all);
        EXPECT_EQ(readOnly.status, 1) << readOnly.output;
        EXPECT_NE(readOnly.output.find("Could not write \u201cOUT.wav\u201d"), std::string::npos)
            << readOnly.output;
    }
    EXPECT_EQ(test::readFile(existing), kPrevious);
}

}  // namespace
}  // namespace corvaline
