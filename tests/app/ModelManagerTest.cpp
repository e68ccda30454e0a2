// ModelManager over the engine's catalog with every download served by a local HTTP server
// (no network): one installation at a time, the runtime before the model, the published
// messages, cancellation, failures, removal and configuration.

#include <gtest/gtest.h>

#include <cstdlib>

#include "AppTestSupport.hpp"
#include "LocalHttpServer.hpp"
#include "TestSupport.hpp"
#include "audiocore/install/VerifiedDownload.hpp"
#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/platform/Paths.hpp"
#include "core/models/ModelManager.hpp"

namespace corvaline::app {
namespace {

using test::waitUntil;
namespace fs = std::filesystem;

class ModelManagerTest : public ::testing::Test {
  protected:
    corvaline::test::TempDir dir;
    corvaline::test::LocalHttpServer server;
    fs::path root = dir / "Corvaline";
    ModelCatalog::Tools tools = ModelCatalog::Tools::defaults();
    std::unique_ptr<ModelManager> models;
    std::vector<QString> messages;

    std::string served(const std::string& path, const std::string& body,
                       corvaline::test::LocalHttpServer::Response response = {}) {
        response.body = body;
        server.serve(path, response);
        return server.url(path);
    }
    std::string digest(const std::string& body) {
        corvaline::test::writeFile(dir / "digest.tmp", body);
        return VerifiedDownload::checksum(dir / "digest.tmp");
    }

    void SetUp() override {
        for (auto& model : tools.models) {
            if (!model.url) continue;
            const std::string body = "model file of " + model.id + "\n";
            model.url = served("/" + model.file, body);
            model.checksum = digest(body);
        }
        const std::string program = "#!/bin/sh\nexit 0\n";
        tools.deepFilter = {served("/deep-filter", program), digest(program), 0};
    }

    void make() {
        models = std::make_unique<ModelManager>(root, tools);
        QObject::connect(models.get(), &ModelManager::messageChanged,
                         [this] { messages.push_back(models->message()); });
    }
    void waitIdle() {
        ASSERT_TRUE(waitUntil([&] { return !models->activeDownload(); }));
    }
};

TEST_F(ModelManagerTest, TheSpeechRuntimeComesFirstThenTheModel) {
    make();
    EXPECT_FALSE(models->runtimeReady());
    ASSERT_EQ(models->catalog().size(), 5u);
    models->download("dfn2");
    EXPECT_EQ(models->activeDownload(), std::optional<std::string>("dfn2"));
    EXPECT_EQ(models->message(), "Downloading DeepFilterNet 2");
    waitIdle();
    EXPECT_FALSE(models->error()) << models->error()->toStdString();
    EXPECT_EQ(fs::status(root / "Runtime" / "deep-filter").permissions() & fs::perms::all,
              fs::perms(0755));
    EXPECT_TRUE(models->runtimeReady());
    EXPECT_TRUE(models->installed().contains("dfn2"));
    EXPECT_TRUE(models->isReady("dfn2"));
    EXPECT_EQ(models->message(), "DeepFilterNet 2 installed");
    EXPECT_FALSE(models->isWorking());

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
    for (auto& model : tools.models) {
        if (model.id != "dfn3") continue;
        corvaline::test::LocalHttpServer::Response slow;
        slow.slowAfter = 10;
        slow.pause = std::chrono::milliseconds(50);
        const std::string body(100000, 'x');
        model.url = served("/slow-dfn3", body, slow);
        model.checksum = digest(body);
    }
    make();
    models->download("dfn3");
    ASSERT_TRUE(waitUntil([&] { return server.requests("/slow-dfn3") > 0; }));
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
    for (auto& model : tools.models) {
        if (model.id == "dfn3") model.checksum = std::string(64, '0');  // never matches
    }
    make();
    models->download("dfn3");
    waitIdle();
    ASSERT_TRUE(models->error());
    EXPECT_TRUE(models->error()->startsWith(
        "Installation could not finish. Check your internet connection and available disk "
        "space, then try again.\n\n"));
    EXPECT_GT(models->error()->size(), 120);  // the reason follows
    EXPECT_EQ(models->message(), "Installation failed; ready to retry");
    EXPECT_FALSE(models->installed().contains("dfn3"));
}

// Without libcurl the refusal says what is missing and how to install it, alone: advice to
// check the connection and the disk would send the user the wrong way. The test runs itself
// again in a child process that cannot load libcurl (the files suite's preloaded shim makes its
// dlopen fail as on a machine without it).
TEST_F(ModelManagerTest, WithoutLibcurlTheRefusalIsShownAsItIs) {
    const char* hidden = std::getenv("CORVALINE_HIDE_LIBRARY");
    if (hidden == nullptr) {
        const auto quote = corvaline::test::shellQuote;
        const fs::path shim = paths::executableFolder() / "hide_library_shim.so";
        const auto child = corvaline::test::runShell(
            "LD_PRELOAD=" + quote(shim.string()) + " CORVALINE_HIDE_LIBRARY=libcurl " +
            quote(fs::read_symlink("/proc/self/exe").string()) +
            " --gtest_filter=ModelManagerTest.WithoutLibcurlTheRefusalIsShownAsItIs 2>&1");
        EXPECT_EQ(child.status, 0) << child.output;
        EXPECT_NE(child.output.find("[  PASSED  ] 1 test"), std::string::npos) << child.output;
        return;
    }
    ASSERT_STREQ(hidden, "libcurl");
    make();
    models->download("dfn3");
    waitIdle();
    ASSERT_TRUE(models->error());
    const std::string text = models->error()->toStdString();
    EXPECT_EQ(text.rfind("Could not download \u201cdeep-filter\u201d: Corvaline downloads models "
                         "and runtimes through libcurl (libcurl.so.4), which could not be loaded. "
                         "Install it again (on Debian: libcurl4).\n",
                         0),
              0u)
        << text;
    EXPECT_EQ(text.find("internet connection"), std::string::npos) << text;
    EXPECT_EQ(models->message(), "Installation failed; ready to retry");
    EXPECT_FALSE(models->runtimeReady());
}

TEST_F(ModelManagerTest, RemovalAndRevealTouchOnlyTheModelFolder) {
    fs::create_directories(root / "Models");
    corvaline::test::writeFile(root / "Models" / "955717e8-8726e21a.th", "checkpoint");
    make();
    EXPECT_TRUE(models->installed().contains("demucs"));
    EXPECT_FALSE(models->isReady("demucs"));  // no Demucs runtime
    try {
        models->configuration("demucs", 0);
        FAIL() << "configuration without the runtime";
    } catch (const AudioFailure& failure) {
        EXPECT_STREQ(failure.what(), "Install the Demucs runtime in Settings first.");
    }
    models->remove("demucs");
    EXPECT_FALSE(models->installed().contains("demucs"));
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
