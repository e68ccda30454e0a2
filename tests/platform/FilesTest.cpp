// File descriptors, file errors in a user's words, working files and working folders.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.hpp"
#include "audiocore/platform/Errors.hpp"
#include "audiocore/platform/FileDescriptor.hpp"
#include "audiocore/platform/WorkingFile.hpp"

using namespace corvaline;
namespace fs = std::filesystem;

namespace {

int entries(const fs::path& folder) {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folder))
        ++count;
    return count;
}

std::string messageOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no error)";
}

void writeThrough(const fs::path& path, const std::string& text) {
    // Opened by path the way a library opens it: truncating, as a separate open file.
    FileDescriptor fd = FileDescriptor::open(path, O_WRONLY | O_CREAT | O_TRUNC);
    ASSERT_EQ(fd.writeFully(text.data(), text.size()), 0);
}

}  // namespace

TEST(FileErrors, SayWhatFailedOnWhichFileInAUsersWords) {
    EXPECT_STREQ(fileError("write", "out.wav", ENOSPC).what(),
                 "Could not write \u201cout.wav\u201d: the disk is full.");
    EXPECT_STREQ(fileError("open", "/x/in.wav", ENOENT).what(),
                 "Could not open \u201cin.wav\u201d: it does not exist.");
    // A new file whose folder is missing names the folder.
    EXPECT_STREQ(fileError("write", "/no/such/out.wav", ENOENT).what(),
                 "Could not write \u201cout.wav\u201d: the folder \u201c/no/such\u201d does not "
                 "exist.");
    EXPECT_STREQ(fileError("write", "/ro/out.wav", EROFS).what(),
                 "Could not write \u201cout.wav\u201d: the disk is read-only.");
    // Hidden working names mean nothing to a user: the folder is named instead.
    EXPECT_STREQ(fileError("write", "/data/.dsp-1234.wav", ENOSPC).what(),
                 "Could not write a working file in \u201c/data\u201d: the disk is full.");
    EXPECT_STREQ(
        fileError("write", "/tmp/Corvaline-2E51FE5E/restored-0777.wav", ENOSPC).what(),
        "Could not write a working file in \u201c/tmp/Corvaline-2E51FE5E\u201d: the disk is full.");
    const FileError error = fileError("read", "a.wav", EIO);
    EXPECT_EQ(error.code().value(), EIO);
    EXPECT_EQ(error.path1(), fs::path("a.wav"));
    // An unknown errno still reads as a sentence, with the system's words quoted.
    EXPECT_NE(std::string(fileError("read", "a.wav", EPROTO).what()).find("the system reported"),
              std::string::npos);
}

TEST(FileDescriptorTest, OwnsClosesAndMoves) {
    test::TempDir dir;
    test::writeFile(dir / "f", "hello");
    FileDescriptor a = FileDescriptor::open(dir / "f", O_RDONLY);
    const int raw = a.get();
    FileDescriptor b = std::move(a);
    EXPECT_FALSE(a);
    EXPECT_EQ(b.get(), raw);
    char text[16] = {};
    EXPECT_EQ(b.readFully(text, sizeof text), 5);
    EXPECT_STREQ(text, "hello");
    EXPECT_EQ(b.close(), 0);
    EXPECT_EQ(::fcntl(raw, F_GETFD), -1);  // really closed
    const std::string missing = messageOf([&] { FileDescriptor::open(dir / "none", O_RDONLY); });
    EXPECT_NE(missing.find("it does not exist"), std::string::npos) << missing;
}

TEST(Destinations, ThatAreNotRegularFilesAreRefusedBeforeAnyWork) {
    test::TempDir dir;
    test::writeFile(dir / "target.wav", "keep");
    fs::create_symlink(dir / "target.wav", dir / "link.wav");
    ASSERT_EQ(::mkfifo((dir / "fifo.wav").c_str(), 0644), 0);
    fs::create_directory(dir / "folder.wav");
    const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socketPath = (dir / "s.wav").string();
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    std::copy(socketPath.begin(), socketPath.end(), address.sun_path);
    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

    const std::pair<fs::path, std::string> refused[] = {
        {dir / "link.wav", "symbolic link"}, {dir / "fifo.wav", "named pipe"},
        {dir / "folder.wav", "folder"},      {"/dev/null", "device"},
        {dir / "s.wav", "socket"},           {dir / "missing" / "out.wav", "does not exist"},
    };
    for (const auto& [path, words] : refused) {
        const std::string message = messageOf([&] { checkDestination(path); });
        EXPECT_NE(message.find(words), std::string::npos) << path << ": " << message;
        EXPECT_NE(message.find(path.filename().string()), std::string::npos) << message;
    }
    ::close(sock);
    EXPECT_NO_THROW(checkDestination(dir / "target.wav"));
    EXPECT_NO_THROW(checkDestination(dir / "new.wav"));
    EXPECT_EQ(test::readFile(dir / "target.wav"), "keep");
}

TEST(WorkingFiles, LeaveNoNameBehindUntilCommitted) {
    test::TempDir dir;
    {
        WorkingFile file(dir.path(), "dsp", ".wav");
        writeThrough(file.path(), "partial");
        if (file.unnamed()) {
            EXPECT_EQ(entries(dir.path()), 0);
        }
        EXPECT_EQ(folderOf(file.path()), dir.path());
    }
    EXPECT_EQ(entries(dir.path()), 0);  // abandoned: nothing left

    WorkingFile file = WorkingFile::beside(dir / "out.wav", "corvaline");
    writeThrough(file.path(), "complete");
    file.commit(dir / "out.wav");
    EXPECT_EQ(test::readFile(dir / "out.wav"), "complete");
    EXPECT_EQ(entries(dir.path()), 1);
}

TEST(WorkingFiles, ReplacingKeepsPermissionsAndRefusesSpecialFiles) {
    test::TempDir dir;
    test::writeFile(dir / "private.wav", "old");
    fs::permissions(dir / "private.wav", fs::perms::owner_read | fs::perms::owner_write);
    {
        WorkingFile file = WorkingFile::beside(dir / "private.wav", "corvaline");
        writeThrough(file.path(), "new");
        file.commit(dir / "private.wav");
    }
    EXPECT_EQ(test::readFile(dir / "private.wav"), "new");
    struct stat st {};
    ASSERT_EQ(::stat((dir / "private.wav").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    test::writeFile(dir / "target.wav", "untouched");
    fs::create_symlink(dir / "target.wav", dir / "link.wav");
    {
        WorkingFile file = WorkingFile::beside(dir / "link.wav", "corvaline");
        writeThrough(file.path(), "new");
        EXPECT_THROW(file.commit(dir / "link.wav"), FileError);
    }
    EXPECT_TRUE(fs::is_symlink(dir / "link.wav"));
    EXPECT_EQ(test::readFile(dir / "target.wav"), "untouched");
    EXPECT_EQ(entries(dir.path()), 3);  // private, target, link: no working file left
}

TEST(WorkingFiles, AKilledProcessLeavesNothing) {
    test::TempDir dir;
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        WorkingFile file(dir.path(), "dsp", ".wav");
        const std::string data(1 << 20, 'x');
        FileDescriptor fd = FileDescriptor::open(file.path(), O_WRONLY | O_TRUNC);
        (void)fd.writeFully(data.data(), data.size());
        (void)::write(ready[1], file.unnamed() ? "u" : "n", 1);
        ::pause();
        ::_exit(0);
    }
    char kind = 0;
    ASSERT_EQ(::read(ready[0], &kind, 1), 1);
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ::close(ready[0]);
    ::close(ready[1]);
    if (kind != 'u') GTEST_SKIP() << "this file system has no unnamed files";
    EXPECT_EQ(entries(dir.path()), 0);
}

TEST(WorkingFolders, StaleOnesOfDeadProcessesAreRemovedAtTheNextStart) {
    test::TempDir dir;
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        WorkingFolder folder(dir.path());
        test::writeFile(folder.path() / "audio.caf", "data");
        ::kill(::getpid(), SIGKILL);  // no destructor runs
        ::_exit(1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_EQ(entries(dir.path()), 1);

    const WorkingFolder live(dir.path());             // ours: still in use
    fs::create_directory(dir / "Corvaline-unknown");  // no owner record: not ours to judge
    fs::create_directory(dir / "Other-folder");
    EXPECT_EQ(removeStaleWorkingFolders(dir.path()), 1);
    EXPECT_TRUE(fs::exists(live.path()));
    EXPECT_TRUE(fs::exists(dir / "Corvaline-unknown"));
    EXPECT_TRUE(fs::exists(dir / "Other-folder"));
    EXPECT_EQ(entries(dir.path()), 3);
}

TEST(WorkingFolders, ALiveOneIsNeverTakenForStaleNotEvenWhileItIsMade) {
    test::TempDir dir;
    // One thread keeps making, filling and dropping folders while another keeps removing
    // stale ones: every folder must be there, whole, for as long as its owner holds it.
    std::atomic<bool> done{false};
    std::atomic<int> removed{0};
    std::thread sweeper([&] {
        while (!done)
            removed += removeStaleWorkingFolders(dir.path());
    });
    int lost = 0;
    for (int i = 0; i < 300; ++i) {
        WorkingFolder folder(dir.path());
        EXPECT_EQ(folder.path().filename().string().rfind("Corvaline-", 0), 0u);
        test::writeFile(folder.path() / "take.wav", "data");
        WorkingFolder moved(std::move(folder));
        if (!fs::exists(moved.path() / "take.wav")) ++lost;
    }
    done = true;
    sweeper.join();
    EXPECT_EQ(lost, 0);
    EXPECT_EQ(removed, 0);
    EXPECT_EQ(entries(dir.path()), 0);  // each went with its owner, hidden ones included
}

TEST(WorkingFolders, RemovalGoesBeforeTheLockAndFoldersFromBeforeLocksAreJudgedByTheirOwner) {
    test::TempDir dir;
    WorkingFolder folder(dir.path());
    const fs::path path = folder.path();
    ASSERT_TRUE(folder.locked());
    folder.remove();
    EXPECT_FALSE(fs::exists(path));
    EXPECT_TRUE(folder.path().empty());

    // A folder whose lock file nobody holds was left by a run that ended without removing it.
    fs::create_directories(dir / "Corvaline-left" / "Video-1");
    test::writeFile(dir / "Corvaline-left" / ".lock", "");
    // Folders recording their owner instead: gone with a process that cannot exist, kept with
    // this one (whose start time matches) and with one whose record is unreadable.
    fs::create_directories(dir / "Corvaline-dead");
    test::writeFile(dir / "Corvaline-dead" / ".owner", "99999999 12345\n");
    fs::create_directories(dir / "Corvaline-alive");
    test::writeFile(dir / "Corvaline-alive" / ".owner", std::to_string(::getpid()) + " 0\n");
    fs::create_directories(dir / "Corvaline-garbled");
    test::writeFile(dir / "Corvaline-garbled" / ".owner", "12");
    // A symbolic link named like ours is never followed.
    fs::create_directories(dir / "elsewhere");
    test::writeFile(dir / "elsewhere" / ".lock", "");
    fs::create_directory_symlink(dir / "elsewhere", dir / "Corvaline-link");
    // Under the hidden name a folder has while it is made: left by a kill during its making
    // when it stayed so for minutes, someone's folder in the making otherwise.
    fs::create_directories(dir / ".Corvaline-interrupted");
    test::writeFile(dir / ".Corvaline-interrupted" / ".lock", "");
    fs::last_write_time(dir / ".Corvaline-interrupted",
                        fs::file_time_type::clock::now() - std::chrono::minutes(10));
    fs::create_directories(dir / ".Corvaline-making");

    EXPECT_EQ(removeStaleWorkingFolders(dir.path()), 3);
    EXPECT_FALSE(fs::exists(dir / ".Corvaline-interrupted"));
    EXPECT_TRUE(fs::exists(dir / ".Corvaline-making"));
    EXPECT_FALSE(fs::exists(dir / "Corvaline-left"));
    EXPECT_FALSE(fs::exists(dir / "Corvaline-dead"));
    EXPECT_TRUE(fs::exists(dir / "Corvaline-alive"));
    EXPECT_TRUE(fs::exists(dir / "Corvaline-garbled"));
    EXPECT_TRUE(fs::exists(dir / "elsewhere" / ".lock"));
}

namespace {

/// Gives `path` and everything in it (links themselves, not their targets) a modification time
/// `age` in the past.
void age(const fs::path& path, std::chrono::hours hours) {
    const auto then = std::chrono::system_clock::now() - hours;
    const timespec when{std::chrono::system_clock::to_time_t(then), 0};
    const timespec times[2] = {when, when};
    std::vector<fs::path> all{path};
    if (fs::is_directory(fs::symlink_status(path))) {
        for (const auto& entry : fs::recursive_directory_iterator(path))
            all.push_back(entry.path());
    }
    // Deepest first: changing an entry's time does not touch its folder's, but be safe.
    for (auto it = all.rbegin(); it != all.rend(); ++it)
        ASSERT_EQ(::utimensat(AT_FDCWD, it->c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << *it;
}

}  // namespace

TEST(WorkingFolders, LocklessFoldersOfOlderBuildsGoOnceUntouchedForADayAndOnlyThose) {
    test::TempDir dir;
    const std::string uuid = "0F8C2A4E-1B3D-4E5F-9A7B-6C5D4E3F2A1B";
    const auto made = [&](const std::string& name) {
        fs::create_directories(dir / name / "Video-1");
        test::writeFile(dir / name / "Video-1" / "Audio.caf", "audio");
        return dir / name;
    };
    // Left by an older build, untouched for two days: goes, with what is inside.
    age(made("Corvaline-" + uuid), std::chrono::hours(48));
    // The same in lower case (older UUID text): goes too.
    std::string lower = uuid;
    for (char& c : lower)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    age(made("Corvaline-" + lower), std::chrono::hours(48));
    // Just made, or old but with one file written an hour ago: someone may be using it.
    made("Corvaline-1F8C2A4E-1B3D-4E5F-9A7B-6C5D4E3F2A1B");
    const fs::path recent = made("Corvaline-2F8C2A4E-1B3D-4E5F-9A7B-6C5D4E3F2A1B");
    test::writeFile(recent / "Video-1" / "progress", "1");
    age(recent, std::chrono::hours(48));
    age(recent / "Video-1" / "progress", std::chrono::hours(1));
    // Not named as ours exactly: never judged, however old.
    const std::vector<std::string> foreign{"Corvaline-notes", "Corvaline-" + uuid + "-copy",
                                           "Corvaline-" + uuid.substr(0, 35) + "G",
                                           "Other-" + uuid};
    for (const std::string& name : foreign)
        age(made(name), std::chrono::hours(48));
    // A folder of another install prefix is judged only by a sweep for that prefix.
    age(made(".sidon-install-" + uuid), std::chrono::hours(48));
    // A symbolic link named like an old folder of ours is not followed, nor is its target
    // removed; a link inside an old folder goes as a link.
    const fs::path target = made("target");
    age(target, std::chrono::hours(48));
    fs::create_directory_symlink(target, dir / ("Corvaline-3F8C2A4E-1B3D-4E5F-9A7B-6C5D4E3F2A1B"));
    const fs::path withLink = made("Corvaline-4F8C2A4E-1B3D-4E5F-9A7B-6C5D4E3F2A1B");
    fs::create_directory_symlink(target, withLink / "link");
    age(withLink, std::chrono::hours(48));

    EXPECT_EQ(removeStaleWorkingFolders(dir.path()), 3);
    EXPECT_FALSE(fs::exists(dir / ("Corvaline-" + uuid)));
    EXPECT_FALSE(fs::exists(dir / ("Corvaline-" + lower)));
    EXPECT_FALSE(fs::exists(withLink));
    EXPECT_TRUE(fs::exists(target / "Video-1" / "Audio.caf"));
    EXPECT_TRUE(fs::exists(dir / "Corvaline-1F8C2A4E-1B3D-4E5F-9A7B-6C5D4E3F2A1B"));
    EXPECT_TRUE(fs::exists(recent / "Video-1" / "Audio.caf"));
    EXPECT_TRUE(fs::is_symlink(dir / "Corvaline-3F8C2A4E-1B3D-4E5F-9A7B-6C5D4E3F2A1B"));
    for (const std::string& name : foreign)
        EXPECT_TRUE(fs::exists(dir / name / "Video-1" / "Audio.caf")) << name;
    EXPECT_TRUE(fs::exists(dir / (".sidon-install-" + uuid)));
    EXPECT_EQ(removeStaleWorkingFolders(dir.path(), ".sidon-install-"), 1);

    // An old folder with an owner record is judged by its owner, never by its age: this
    // process runs, so it stays; so does one whose record cannot be read.
    age(made("Corvaline-5F8C2A4E-1B3D-4E5F-9A7B-6C5D4E3F2A1B"), std::chrono::hours(48));
    test::writeFile(dir / "Corvaline-5F8C2A4E-1B3D-4E5F-9A7B-6C5D4E3F2A1B" / ".owner",
                    std::to_string(::getpid()) + " 0\n");
    const fs::path garbled = made("Corvaline-6F8C2A4E-1B3D-4E5F-9A7B-6C5D4E3F2A1B");
    test::writeFile(garbled / ".owner", "12");
    age(garbled, std::chrono::hours(48));
    EXPECT_EQ(removeStaleWorkingFolders(dir.path()), 0);
}
