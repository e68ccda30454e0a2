#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "InstallTestSupport.hpp"
#include "LocalHttpServer.hpp"
#include "TestSupport.hpp"
#include "audiocore/install/InstallFiles.hpp"
#include "audiocore/install/VerifiedDownload.hpp"
#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/platform/Cancellation.hpp"
#include "audiocore/platform/Errors.hpp"

using namespace corvaline;
using namespace corvaline::test;
namespace fs = std::filesystem;

namespace {

std::string failureText(const std::function<void()>& action) {
    try {
        action();
    } catch (const AudioFailure& failure) {
        return failure.what();
    }
    return "(no failure)";
}

std::string upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), ::toupper);
    return text;
}

class VerifiedDownloadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        payload = randomBytes(3 * 1048576 + 12345, 7);
        writeFile(dir / "reference.bin", payload);
        digest = referenceSha256(dir / "reference.bin");
        fs::remove(dir / "reference.bin");
        server.serve("/model.bin", {200, payload});
        destination = dir.path() / "models" / "model.bin";
    }

    /// Hidden working files left beside the destination.
    std::vector<std::string> leftovers() const {
        return entriesStartingWith(destination.parent_path(), ".");
    }

    TempDir dir;
    LocalHttpServer server;
    std::string payload;
    std::string digest;
    fs::path destination;
    std::vector<double> reports;
    ProgressCallback record = [this](double f) { reports.push_back(f); };
};

}  // namespace

TEST(Checksum, MatchesIndependentDigestAcrossChunkBoundaries) {
    TempDir dir;
    writeFile(dir / "empty", "");
    EXPECT_EQ(VerifiedDownload::checksum(dir / "empty"),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    writeFile(dir / "abc", "abc");
    EXPECT_EQ(VerifiedDownload::checksum(dir / "abc"),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // Exactly one chunk, one byte over, and several chunks with a remainder.
    for (std::size_t size :
         {std::size_t(1048576), std::size_t(1048577), std::size_t(2621440 + 3)}) {
        const fs::path file = dir / ("data-" + std::to_string(size));
        writeFile(file, randomBytes(size, static_cast<unsigned>(size)));
        EXPECT_EQ(VerifiedDownload::checksum(file), referenceSha256(file)) << size;
    }
    EXPECT_THROW(VerifiedDownload::checksum(dir / "missing"), fs::filesystem_error);
    std::stop_source stop;
    stop.request_stop();
    EXPECT_THROW(VerifiedDownload::checksum(dir / "abc", stop.get_token()), Cancelled);
}

TEST(Checksum, PrefixAndCaseRules) {
    const std::string digest = "8726e21a" + std::string(56, '0');
    EXPECT_TRUE(VerifiedDownload::matches(digest, digest));
    EXPECT_TRUE(VerifiedDownload::matches(digest, "8726e21a"));  // a published prefix
    EXPECT_FALSE(VerifiedDownload::matches(digest, "8726E21A"));
    EXPECT_FALSE(VerifiedDownload::matches(digest, "8726e21b"));
    EXPECT_FALSE(VerifiedDownload::matches(digest, digest + "0"));
    EXPECT_FALSE(VerifiedDownload::matches(digest, ""));  // no expectation accepts nothing
}

TEST_F(VerifiedDownloadTest, DownloadsVerifiesAndReportsProgressUpToOne) {
    VerifiedDownload::fetch(server.url("/model.bin"), destination, digest, record);
    EXPECT_EQ(readFile(destination), payload);
    EXPECT_EQ(server.requests(), 1);
    ASSERT_FALSE(reports.empty());
    EXPECT_TRUE(std::is_sorted(reports.begin(), reports.end()));
    EXPECT_EQ(reports.back(), 1.0);
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(VerifiedDownloadTest, PresentFileWithExpectedDigestMakesNoRequest) {
    fs::create_directories(destination.parent_path());
    writeFile(destination, payload);
    VerifiedDownload::fetch(server.url("/model.bin"), destination, digest, record);
    EXPECT_EQ(server.requests(), 0);
    EXPECT_EQ(reports, std::vector<double>{1.0});

    // A published prefix of the digest is enough, as for the separation checkpoint.
    reports.clear();
    VerifiedDownload::fetch(server.url("/model.bin"), destination, digest.substr(0, 8), record);
    EXPECT_EQ(server.requests(), 0);
    EXPECT_EQ(reports, std::vector<double>{1.0});
}

TEST_F(VerifiedDownloadTest, WrongFileOnDiskIsReplacedOnlyByAVerifiedDownload) {
    fs::create_directories(destination.parent_path());
    writeFile(destination, "stale model");

    // The server sends a corrupted body: the stale file must survive untouched.
    std::string corrupted = payload;
    corrupted[1000] ^= 0x01;
    server.serve("/corrupted.bin", {200, corrupted});
    EXPECT_EQ(failureText([&] {
                  VerifiedDownload::fetch(server.url("/corrupted.bin"), destination, digest,
                                          record);
              }),
              VerifiedDownload::verificationFailureMessage);
    EXPECT_EQ(readFile(destination), "stale model");
    EXPECT_TRUE(leftovers().empty());

    VerifiedDownload::fetch(server.url("/model.bin"), destination, digest, record);
    EXPECT_EQ(readFile(destination), payload);
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(VerifiedDownloadTest, UpperCaseChecksumNeverMatches) {
    fs::create_directories(destination.parent_path());
    writeFile(destination, payload);  // right content, but the expectation is upper case
    EXPECT_EQ(failureText([&] {
                  VerifiedDownload::fetch(server.url("/model.bin"), destination, upper(digest),
                                          record);
              }),
              VerifiedDownload::verificationFailureMessage);
    EXPECT_EQ(server.requests(), 1);  // the present file did not count as verified
    EXPECT_EQ(readFile(destination), payload);
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(VerifiedDownloadTest, ServerRefusalsFailWithTheServerMessageAndLeaveNothing) {
    server.serve("/broken.bin", {500, "internal error page"});
    for (const std::string path : {"/missing.bin", "/broken.bin"}) {
        EXPECT_EQ(failureText([&] {
                      VerifiedDownload::fetch(server.url(path), destination, digest, record);
                  }),
                  VerifiedDownload::serverFailureMessage)
            << path;
        EXPECT_FALSE(fs::exists(destination));
        EXPECT_TRUE(leftovers().empty());
    }
    EXPECT_TRUE(reports.empty());
}

TEST_F(VerifiedDownloadTest, ANetworkErrorNamesTheFileTheServerAndWhatWentWrong) {
    // A port nobody listens on: the connection itself fails, there is no response.
    LocalHttpServer* closed = new LocalHttpServer();
    const std::string url = closed->url("/model.bin");
    delete closed;
    const std::string text =
        failureText([&] { VerifiedDownload::fetch(url, destination, digest, record); });
    const std::string words =
        "Could not download \u201cmodel.bin\u201d from 127.0.0.1: the server could not be "
        "reached.\n";
    EXPECT_EQ(text.rfind(words, 0), 0u) << text;
    EXPECT_GT(text.size(), words.size()) << "libcurl's text is kept below: " << text;
    EXPECT_TRUE(leftovers().empty());
}

TEST(DownloadAddress, OnlyHttpsOrPlainHttpToThisMachine) {
    for (const char* url :
         {"https://huggingface.co/a/resolve/b/c.pt", "HTTPS://example.org/x",
          "http://127.0.0.1:8080/file.bin", "http://localhost/file", "http://[::1]:9/f"}) {
        EXPECT_TRUE(VerifiedDownload::isAllowedAddress(url)) << url;
    }
    for (const char* url :
         {"http://example.org/model.bin", "http://127.0.0.1.example.org/x",
          "http://127.0.0.1@example.org/x", "http://10.0.0.1/x", "ftp://127.0.0.1/x",
          "file:///etc/hostname", "https://", "not an address", ""}) {
        EXPECT_FALSE(VerifiedDownload::isAllowedAddress(url)) << url;
    }
}

TEST_F(VerifiedDownloadTest, RefusedAddressesAreNeverRequestedNorTouchTheDestination) {
    fs::create_directories(destination.parent_path());
    writeFile(destination, "previous");
    for (const std::string& url :
         {std::string("http://example.org/model.bin"), std::string("file:///etc/hostname")}) {
        const std::string text =
            failureText([&] { VerifiedDownload::fetch(url, destination, digest, record); });
        EXPECT_NE(text.find(url), std::string::npos) << text;
        EXPECT_NE(text.find("HTTPS"), std::string::npos) << text;
    }
    EXPECT_EQ(readFile(destination), "previous");
    EXPECT_TRUE(reports.empty());
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(VerifiedDownloadTest, BodyWithoutLengthGivesNoProgressButVerifies) {
    LocalHttpServer::Response response{200, payload};
    response.sendLength = false;
    server.serve("/unsized.bin", response);
    VerifiedDownload::fetch(server.url("/unsized.bin"), destination, digest, record);
    EXPECT_EQ(readFile(destination), payload);
    EXPECT_TRUE(reports.empty());
}

TEST_F(VerifiedDownloadTest, CancellationMidBodyRemovesTheTemporaryFile) {
    fs::create_directories(destination.parent_path());
    writeFile(destination, "previous");
    LocalHttpServer::Response slow{200, payload};
    slow.slowAfter = 65536;
    slow.pause = std::chrono::milliseconds(20);  // the rest would take minutes
    slow.sendLength = false;
    server.serve("/slow.bin", slow);

    std::stop_source stop;
    std::thread canceller([&] {
        // Cancel once the body has started (the working file has no name to watch).
        for (int i = 0; i < 500 && server.requests("/slow.bin") == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        stop.request_stop();
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(VerifiedDownload::fetch(server.url("/slow.bin"), destination, digest, record,
                                         stop.get_token()),
                 Cancelled);
    canceller.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(readFile(destination), "previous");
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(VerifiedDownloadTest, AKillMidBodyLeavesThePreviousFileAndNothingElse) {
    fs::create_directories(destination.parent_path());
    writeFile(destination, "previous");
    LocalHttpServer::Response slow{200, payload};
    slow.slowAfter = 65536;
    slow.pause = std::chrono::milliseconds(20);
    slow.sendLength = false;
    server.serve("/slow.bin", slow);
    const std::string url = server.url("/slow.bin");

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        try {
            VerifiedDownload::fetch(url, destination, digest, {});
        } catch (...) {
        }
        ::_exit(0);
    }
    for (int i = 0; i < 1000 && server.requests("/slow.bin") == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // part of the body is written
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(readFile(destination), "previous");
    EXPECT_EQ(entriesStartingWith(destination.parent_path(), ""),
              std::vector<std::string>{"model.bin"});
}

TEST(InstallFilesTest, AtomicWritesNameTheFileAndLeaveNothingBehind) {
    TempDir dir;
    installfiles::writeFileAtomically(dir / "ready", "one");
    fs::permissions(dir / "ready", fs::perms::owner_read | fs::perms::owner_write);
    installfiles::writeFileAtomically(dir / "ready", "two");
    EXPECT_EQ(readFile(dir / "ready"), "two");
    // Replacing a private file keeps it private.
    EXPECT_EQ(fs::status(dir / "ready").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(entriesStartingWith(dir.path(), ""), std::vector<std::string>{"ready"});
    try {
        installfiles::writeFileAtomically(dir / "missing" / ".revision", "x");
        ADD_FAILURE() << "wrote into a folder that does not exist";
    } catch (const FileError& error) {
        EXPECT_NE(std::string(error.what()).find("\u201cmissing\u201d"), std::string::npos)
            << error.what();
    }
    fs::create_directory(dir / "taken");
    EXPECT_THROW(installfiles::writeFileAtomically(dir / "taken", "x"), FileError);
    EXPECT_TRUE(fs::is_directory(dir / "taken"));
}
