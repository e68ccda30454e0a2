// The installers' folder switch.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>

#include "TestSupport.hpp"
#include "audiocore/install/InstallFiles.hpp"

namespace corvaline {
namespace {

namespace fs = std::filesystem;

/// Gives `folder` and everything in it a modification time `hours` in the past.
void age(const fs::path& folder, int hours) {
    const timespec when{std::chrono::system_clock::to_time_t(std::chrono::system_clock::now() -
                                                             std::chrono::hours(hours)),
                        0};
    const timespec times[2] = {when, when};
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        ASSERT_EQ(::utimensat(AT_FDCWD, entry.path().c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
    ASSERT_EQ(::utimensat(AT_FDCWD, folder.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
}

void put(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    test::writeFile(file, text);
}

TEST(InstallFiles, ReplacingAFolderSweepsOldCopiesAKillLeftAside) {
    test::TempDir dir;
    const fs::path target = dir / "Sidon";
    put(target / "weights.pt", "installed");
    // Old copies a kill left between moving the installed folder aside and the new one in:
    // one from last week's install, one whose owner may still be moving it (touched now).
    const fs::path left = dir / ".Sidon-old-0F8C2A4E-1B3D-4E5F-9A7B-6C5D4E3F2A1B";
    put(left / "weights.pt", "older");
    age(left, 24 * 7);
    const fs::path recent = dir / ".Sidon-old-1F8C2A4E-1B3D-4E5F-9A7B-6C5D4E3F2A1B";
    put(recent / "weights.pt", "older");
    // Not ours: another folder's copy, and a name that is not an aside.
    const fs::path other = dir / ".Other-old-2F8C2A4E-1B3D-4E5F-9A7B-6C5D4E3F2A1B";
    put(other / "weights.pt", "other");
    age(other, 24 * 7);
    const fs::path notes = dir / ".Sidon-old-notes";
    put(notes / "notes.txt", "mine");
    age(notes, 24 * 7);

    const fs::path replacement = dir / "staging";
    put(replacement / "weights.pt", "new");
    installfiles::replaceFolder(replacement, target);
    EXPECT_EQ(test::readFile(target / "weights.pt"), "new");
    EXPECT_FALSE(fs::exists(replacement));
    EXPECT_FALSE(fs::exists(left));
    EXPECT_TRUE(fs::exists(recent / "weights.pt"));
    EXPECT_TRUE(fs::exists(other / "weights.pt"));
    EXPECT_TRUE(fs::exists(notes / "notes.txt"));

    // Also when the kill came before the new folder was moved in (nothing at the target).
    age(recent, 24 * 7);
    fs::remove_all(target);
    put(replacement / "weights.pt", "newer");
    installfiles::replaceFolder(replacement, target);
    EXPECT_EQ(test::readFile(target / "weights.pt"), "newer");
    EXPECT_FALSE(fs::exists(recent));
}

}  // namespace
}  // namespace corvaline
