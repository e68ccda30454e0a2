// A committed working file's name is flushed to disk with its folder, and a folder that cannot
// be flushed does not turn a good write into a failure.
//
// This suite's executable defines fsync() itself: the engine's calls reach the definition below,
// which forwards to the C library's and, for folders, records what the folder held at that
// moment or answers with an error the test chose (the way a network file system or a failing
// disk would).

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <string>

#include "TestSupport.hpp"
#include "audiocore/platform/Errors.hpp"
#include "audiocore/platform/FileDescriptor.hpp"
#include "audiocore/platform/WorkingFile.hpp"

namespace fs = std::filesystem;

namespace {

/// What the folder flushes saw, and the error they answer with (0: flush for real).
struct FolderSyncs {
    std::atomic<int> injectedError{0};
    std::atomic<int> count{0};
    /// The inode of the folder last flushed, and the content of `watched` at that moment.
    ino_t lastFolder = 0;
    fs::path watched;
    std::string watchedContent;
};

FolderSyncs& folderSyncs() {
    static FolderSyncs syncs;
    return syncs;
}

}  // namespace

extern "C" int fsync(int fd) {
    using Fsync = int (*)(int);
    static const auto real = reinterpret_cast<Fsync>(::dlsym(RTLD_NEXT, "fsync"));
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        FolderSyncs& syncs = folderSyncs();
        ++syncs.count;
        syncs.lastFolder = st.st_ino;
        if (!syncs.watched.empty()) {
            std::error_code ec;
            syncs.watchedContent =
                fs::exists(syncs.watched, ec) ? corvaline::test::readFile(syncs.watched) : "";
        }
        if (const int error = syncs.injectedError.load()) {
            errno = error;
            return -1;
        }
    }
    return real(fd);
}

namespace corvaline {
namespace {

class FolderSyncTest : public ::testing::Test {
  protected:
    void SetUp() override {
        folderSyncs().count = 0;
        folderSyncs().injectedError = 0;
        folderSyncs().lastFolder = 0;
        folderSyncs().watched = destination;
        folderSyncs().watchedContent.clear();
    }
    void TearDown() override {
        folderSyncs().injectedError = 0;
        folderSyncs().watched.clear();
    }

    /// Writes `text` to a working file beside the destination and commits it.
    void commit(const std::string& text) {
        WorkingFile file = WorkingFile::beside(destination, "corvaline");
        {
            FileDescriptor out = FileDescriptor::open(file.path(), O_WRONLY | O_TRUNC);
            ASSERT_EQ(out.writeFully(text.data(), text.size()), 0);
        }
        file.commit(destination);
    }

    static ino_t inodeOf(const fs::path& path) {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
    }

    test::TempDir dir;
    fs::path destination = dir / "take.wav";
};

TEST_F(FolderSyncTest, TheFolderIsFlushedAfterTheNewNameIsInPlace) {
    // A new file, then one replacing it: each time the destination's own folder is flushed,
    // and only once the destination already holds the new content.
    commit("first take");
    EXPECT_GE(folderSyncs().count, 1);
    EXPECT_EQ(folderSyncs().lastFolder, inodeOf(dir.path()));
    EXPECT_EQ(folderSyncs().watchedContent, "first take");

    folderSyncs().count = 0;
    commit("second take");
    EXPECT_GE(folderSyncs().count, 1);
    EXPECT_EQ(folderSyncs().lastFolder, inodeOf(dir.path()));
    EXPECT_EQ(folderSyncs().watchedContent, "second take");
    EXPECT_EQ(test::readFile(destination), "second take");
}

TEST_F(FolderSyncTest, AFolderThatCannotBeFlushedStillGetsTheFile) {
    // Network file systems answer EINVAL, read-only and special ones EROFS or EBADF: the file
    // is in place and whole, so the write succeeded.
    for (const int error : {EINVAL, EROFS, EBADF, ENOTSUP}) {
        folderSyncs().injectedError = error;
        const std::string text = "take for error " + std::to_string(error);
        EXPECT_NO_THROW(commit(text)) << error;
        EXPECT_EQ(test::readFile(destination), text);
    }
    EXPECT_EQ(test::entries(dir.path()), std::vector<std::string>{"take.wav"});
}

TEST_F(FolderSyncTest, AFailedFlushIsReportedInAUsersWordsNamingTheFile) {
    for (const auto& [error, reason] : {std::pair{EIO, "the disk reported an input/output error"},
                                        std::pair{ENOSPC, "the disk is full"}}) {
        folderSyncs().injectedError = error;
        try {
            commit("take");
            ADD_FAILURE() << "a failed flush was reported as success";
        } catch (const FileError& e) {
            EXPECT_EQ(std::string(e.what()),
                      std::string("Could not write \u201ctake.wav\u201d: ") + reason + ".");
            EXPECT_EQ(e.code().value(), error);
        }
    }
    // No hidden working name is left beside it.
    EXPECT_EQ(test::entries(dir.path()), std::vector<std::string>{"take.wav"});
}

TEST_F(FolderSyncTest, SyncingTheFolderOfAFileInAFolderThatIsGoneNamesTheFile) {
    EXPECT_THROW(syncFolderOf(dir / "missing" / "take.wav"), FileError);
    EXPECT_NO_THROW(syncFolderOf(destination));
}

}  // namespace
}  // namespace corvaline
