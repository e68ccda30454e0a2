// The bridge: steps run off the GUI thread, progress and outcomes come back on it, cancellation
// is its own outcome, and failures reach the user in words.

#include <gtest/gtest.h>

#include <QObject>
#include <QThread>
#include <QThreadPool>

#include <filesystem>
#include <thread>

#include "AppTestSupport.hpp"
#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/platform/Errors.hpp"
#include "core/bridge/Worker.hpp"
#include "playback/AudioEngine.hpp"

namespace corvaline::app {
namespace {

using test::waitUntil;

TEST(AlertTextTest, EngineMessagesPassUnchangedAndOtherErrorsAreWorded) {
    EXPECT_EQ(alertText(AudioFailure("Choose a non-empty audio range.")),
              "Choose a non-empty audio range.");
    const std::filesystem::filesystem_error disk(
        "write", "/tmp/x/out.wav", std::make_error_code(std::errc::no_space_on_device));
    EXPECT_EQ(alertText(disk), "Could not use “out.wav”: the disk is full.");
    // A folder's bare name ("Runtime") would not tell the user where: its path is given.
    const std::filesystem::filesystem_error folder(
        "create", "/home/a/.local/share/Corvaline/Runtime",
        std::make_error_code(std::errc::read_only_file_system));
    EXPECT_EQ(alertText(folder),
              "Could not use “/home/a/.local/share/Corvaline/Runtime”: the disk is read-only.");
    // The engine's file errors are worded already and pass unchanged.
    const FileError unreadable("Could not open “x.foo”: it is not an audio file.", "/tmp/x.foo",
                               std::make_error_code(std::errc::invalid_argument));
    EXPECT_EQ(alertText(unreadable), "Could not open “x.foo”: it is not an audio file.");
    // So is the audio output's refusal, which names the device and what to try itself.
    const std::string output =
        "The audio output could not start: the default output device (ALSA) could not be "
        "opened for 48 kHz stereo playback. Choose another output device…\nALSA: Couldn't open";
    EXPECT_EQ(alertText(playback::AudioOutputError(output)), QString::fromStdString(output));
    // A library's own text never stands alone: a first line says what failed.
    const QString library = alertText(LibraryError("libsndfile", "SF_INFO struct incomplete"));
    EXPECT_EQ(library, "libsndfile could not process the audio.\nSF_INFO struct incomplete");
    // A failed download or model run is not reported as a problem with the audio.
    EXPECT_EQ(alertText(LibraryError("libcurl", "Could not resolve host: example.org")),
              "The download could not finish.\nCould not resolve host: example.org");
    EXPECT_EQ(alertText(LibraryError("OpenSSL", "SHA-256 computation failed")),
              "The download could not be verified.\nSHA-256 computation failed");
    EXPECT_EQ(alertText(LibraryError("libtorch", "shape mismatch")),
              "The restoration model could not run.\nshape mismatch");
    EXPECT_EQ(alertText(std::runtime_error("")), "The operation failed.");
    EXPECT_EQ(alertText(std::exception_ptr()), "The operation failed.");
}

class WorkerTest : public ::testing::Test {
  protected:
    QObject context;
    QThreadPool pool;
    void TearDown() override { pool.waitForDone(); }
};

TEST_F(WorkerTest, StepsRunOffTheGuiThreadAndReportOnIt) {
    auto worker = std::make_shared<Worker>(&context, &pool);
    const auto gui = std::this_thread::get_id();
    std::vector<double> reported;
    bool reportedOnGui = true;
    std::optional<StepOutcome<int>> result;
    std::thread::id stepThread;
    worker->run(
        [&](std::stop_token, const ProgressCallback& progress) {
            stepThread = std::this_thread::get_id();
            for (int i = 0; i <= 1000; ++i)
                progress(i / 1000.0);
            return 42;
        },
        [&](double f) {
            reportedOnGui = reportedOnGui && std::this_thread::get_id() == gui;
            reported.push_back(f);
        },
        [&](StepOutcome<int> outcome) {
            reportedOnGui = reportedOnGui && std::this_thread::get_id() == gui;
            result = outcome;
        });
    ASSERT_TRUE(waitUntil([&] { return result.has_value(); }));
    EXPECT_NE(stepThread, gui);
    EXPECT_TRUE(reportedOnGui);
    EXPECT_EQ(result->value, 42);
    // A thousand reports in a tight loop arrive rate limited, in order.
    EXPECT_GE(reported.size(), 1u);
    EXPECT_LE(reported.size(), 5u);
    EXPECT_TRUE(std::is_sorted(reported.begin(), reported.end()));
}

TEST_F(WorkerTest, CancellationIsAnOutcomeWithoutMessageAndStopsLaterSteps) {
    auto worker = std::make_shared<Worker>(&context, &pool);
    std::optional<StepOutcome<Done>> first;
    std::atomic<bool> started = false;
    worker->run(
        [&](std::stop_token cancel, const ProgressCallback&) {
            started = true;
            while (true) {
                throwIfCancelled(cancel);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        },
        {}, [&](StepOutcome<Done> outcome) { first = outcome; });
    ASSERT_TRUE(waitUntil([&] { return started.load(); }));
    worker->cancel();
    ASSERT_TRUE(waitUntil([&] { return first.has_value(); }));
    EXPECT_TRUE(first->cancelled);
    EXPECT_TRUE(first->error.isEmpty());

    bool ran = false;
    std::optional<StepOutcome<Done>> second;
    worker->run([&](std::stop_token, const ProgressCallback&) { ran = true; }, {},
                [&](StepOutcome<Done> outcome) { second = outcome; });
    ASSERT_TRUE(waitUntil([&] { return second.has_value(); }));
    EXPECT_FALSE(ran);
    EXPECT_TRUE(second->cancelled);
}

TEST_F(WorkerTest, AFailureArrivesAsTheUsersText) {
    auto worker = std::make_shared<Worker>(&context, &pool);
    std::optional<StepOutcome<int>> result;
    worker->run(
        [](std::stop_token, const ProgressCallback&) -> int {
            throw AudioFailure("Invalid playback range.");
        },
        {}, [&](StepOutcome<int> outcome) { result = outcome; });
    ASSERT_TRUE(waitUntil([&] { return result.has_value(); }));
    EXPECT_FALSE(result->succeeded());
    EXPECT_FALSE(result->cancelled);
    EXPECT_EQ(result->error, "Invalid playback range.");
}

}  // namespace
}  // namespace corvaline::app
