// ModelManager over stand-in installers (no network): one installation at a time, the
// runtime before the model, messages, cancellation, failures, removal and configuration.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "AppTestSupport.hpp"
#include "TestSupport.hpp"
#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/platform/Cancellation.hpp"
#include "core/models/ModelManager.hpp"

namespace corvaline::app {
namespace {

using test::waitUntil;
namespace fs = std::filesystem;

class ModelManagerTest : public ::testing::Test {
  protected:
    corvaline::test::TempDir dir;
    fs::path root = dir / "Corvaline";
    std::unique_ptr<ModelManager> models;
    std::vector<std::pair<std::string, fs::path>> fetched;  // url, destination (GUI reads after)
    std::mutex mutex;
    std::atomic<bool> hold = false;
    std::atomic<bool> holding = false;
    std::optional<std::string> failWith;
    std::vector<QString> messages;

    void SetUp() override {
        models = std::make_unique<ModelManager>(root);
        ModelInstaller installer;
        installer.fetch = [this](const std::string& url, const fs::path& destination,
                                 const std::string&, const ProgressCallback& progress,
                                 std::stop_token stop) {
            {
                std::lock_guard lock(mutex);
                fetched.emplace_back(url, destination);
            }
            progress(0.5);
            while (hold) {
                holding = true;
                throwIfCancelled(stop);
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            if (failWith) throw AudioFailure(*failWith);
            corvaline::test::writeFile(destination, "downloaded");
        };
        installer.installRuntime =
            [this](const fs::path& folder, const fs::path&, ManagedRuntime::Engine,
                   const ManagedRuntime::ProgressReport& report, std::stop_token) {
                report({RuntimeInstallationProgress::Phase::download, "Downloading Python", 0.5});
                report({RuntimeInstallationProgress::Phase::dependencies, "Installing packages",
                        std::nullopt});
                std::lock_guard lock(mutex);
                fetched.emplace_back("runtime", folder);
            };
        installer.installSidon = [this](const fs::path& folder, const fs::path& cache,
                                        SidonAssets::Variant variant,
                                        const SidonAssets::Validation& validate,
                                        const ProgressCallback&, std::stop_token) {
            std::lock_guard lock(mutex);
            fetched.emplace_back(
                variant == SidonAssets::Variant::reference ? "sidon-reference" : "sidon", folder);
            EXPECT_EQ(bool(validate), variant == SidonAssets::Variant::reference);
            EXPECT_EQ(
                cache.parent_path(),
                root / "Downloads" /
                    (variant == SidonAssets::Variant::reference ? "SidonReference" : "SidonFP16"));
        };
        models->setInstaller(installer);
        QObject::connect(models.get(), &ModelManager::messageChanged,
                         [this] { messages.push_back(models->message()); });
    }

    void waitIdle() {
        ASSERT_TRUE(waitUntil([&] { return !models->activeDownload(); }));
    }
};

TEST_F(ModelManagerTest, TheSpeechRuntimeComesFirstThenTheModel) {
    EXPECT_FALSE(models->runtimeReady());
    models->download("dfn2");
    EXPECT_EQ(models->activeDownload(), std::optional<std::string>("dfn2"));
    waitIdle();
    ASSERT_EQ(fetched.size(), 2u);
    EXPECT_EQ(fetched[0].second, root / "Runtime" / "deep-filter");
    EXPECT_NE(fetched[0].first.find("deep-filter-0.5.6"), std::string::npos);
    EXPECT_EQ(fetched[1].second, root / "Models" / "DeepFilterNet2_onnx.tar.gz");
    EXPECT_EQ(fs::status(root / "Runtime" / "deep-filter").permissions() & fs::perms::all,
              fs::perms(0755));
    EXPECT_TRUE(models->runtimeReady());
    EXPECT_TRUE(models->installed().contains("dfn2"));
    EXPECT_TRUE(models->isReady("dfn2"));
    EXPECT_EQ(models->message(), "DeepFilterNet 2 installed");
    EXPECT_FALSE(models->error());
    ASSERT_GE(messages.size(), 3u);
    EXPECT_TRUE(messages[1].endsWith("Linux speech runtime")) << messages[1].toStdString();
    EXPECT_NE(std::find(messages.begin(), messages.end(), "Downloading DeepFilterNet 2"),
              messages.end());

    const auto configuration = models->configuration("dfn2", 12);
    EXPECT_EQ(configuration.executable, root / "Runtime" / "deep-filter");
    EXPECT_EQ(configuration.model, root / "Models" / "DeepFilterNet2_onnx.tar.gz");
    EXPECT_EQ(configuration.reduction, 12);

    // A model removed behind the application's back drops out on the next refresh.
    fs::remove(root / "Models" / "DeepFilterNet2_onnx.tar.gz");
    models->refresh();
    EXPECT_FALSE(models->installed().contains("dfn2"));
    try {
        models->configuration("dfn2", 12);
        FAIL() << "configuration of a missing model";
    } catch (const AudioFailure& failure) {
        EXPECT_STREQ(failure.what(), "Download the selected model in Settings first.");
    }
}

TEST_F(ModelManagerTest, OneInstallationAtATimeAndCancellingIt) {
    hold = true;
    models->download("dfn3");
    ASSERT_TRUE(waitUntil([&] { return holding.load(); }));
    models->download("demucs");
    models->installDemucs();
    models->installReferenceRuntime();
    EXPECT_EQ(models->activeDownload(), std::optional<std::string>("dfn3"));
    models->cancel();
    EXPECT_EQ(models->message(), "Cancelling installation");
    waitIdle();
    EXPECT_EQ(models->message(), "Installation cancelled");
    EXPECT_FALSE(models->error());
    EXPECT_FALSE(models->isWorking());
    EXPECT_FALSE(fs::exists(root / "Models" / "DeepFilterNet3_onnx.tar.gz"));
}

TEST_F(ModelManagerTest, AFailureExplainsWhatToCheckAndKeepsTheReason) {
    failWith = "The download could not be verified.";
    models->download("demucs");  // the Demucs runtime first (it succeeds), then the checkpoint
    waitIdle();
    ASSERT_TRUE(models->error());
    EXPECT_EQ(*models->error(),
              "Installation could not finish. Check your internet connection and available disk "
              "space, then try again.\n\nThe download could not be verified.");
    EXPECT_EQ(models->message(), "Installation failed; ready to retry");
    EXPECT_NE(std::find(messages.begin(), messages.end(), "Downloading Python"), messages.end());
}

TEST_F(ModelManagerTest, RuntimeInstallsPublishTheirRecords) {
    models->installReferenceRuntime();
    EXPECT_EQ(models->message(), "Preparing Sidon Reference runtime");
    EXPECT_TRUE(models->progressIndeterminate());
    EXPECT_EQ(models->activeDownload(), std::optional<std::string>("reference-runtime"));
    waitIdle();
    EXPECT_NE(std::find(messages.begin(), messages.end(), "Sidon Reference · Downloading Python"),
              messages.end());
    EXPECT_EQ(models->message(), "Sidon Reference runtime installed");
    ASSERT_EQ(fetched.size(), 1u);
    EXPECT_EQ(fetched[0].second, root / "Runtime" / "sidon-reference");

    // Sidon CPU Reference: the model check is given to the asset installation.
    fetched.clear();
    models->download("sidon-reference");
    waitIdle();
    ASSERT_GE(fetched.size(), 1u);
    EXPECT_EQ(fetched.back().first, "sidon-reference");
    EXPECT_EQ(fetched.back().second, root / "Models" / "SidonReference");
}

TEST_F(ModelManagerTest, RemovalAndRevealTouchOnlyTheModelFolder) {
    fs::create_directories(root / "Models");
    corvaline::test::writeFile(root / "Models" / "955717e8-8726e21a.th", "checkpoint");
    fs::create_directories(root / "Models" / "SidonFP16");
    fs::create_directories(root / "Downloads" / "SidonFP16" / "rev");
    models->refresh();
    EXPECT_TRUE(models->installed().contains("demucs"));
    EXPECT_FALSE(models->isReady("demucs"));  // no Demucs runtime
    models->remove("demucs");
    EXPECT_FALSE(models->installed().contains("demucs"));
    models->remove("sidon");
    EXPECT_FALSE(fs::exists(root / "Downloads" / "SidonFP16"));
    EXPECT_FALSE(models->error());

    std::vector<fs::path> opened;
    PlatformServices platform;
    platform.openFolder = [&](const fs::path& folder) { opened.push_back(folder); };
    models->setPlatform(platform);
    fs::remove_all(root);
    models->reveal();
    EXPECT_TRUE(fs::is_directory(root));
    EXPECT_EQ(opened, std::vector<fs::path>{root});
    EXPECT_EQ(*models->modelName("sidon"), "Sidon FP16");
    EXPECT_FALSE(models->modelName("nothing"));
}

}  // namespace
}  // namespace corvaline::app
