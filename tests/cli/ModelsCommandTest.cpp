// corvaline-cli models, run as a child process over a model folder made by the test.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "TestSupport.hpp"
#include "audiocore/install/ManagedRuntime.hpp"
#include "audiocore/platform/Paths.hpp"

namespace corvaline {
namespace {

namespace fs = std::filesystem;

class ModelsCommandTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!fs::exists(test::cliProgram())) GTEST_SKIP() << "corvaline-cli is not built";
        root = dir.path() / "data" / "Corvaline";
    }

    test::ShellResult models(const std::string& arguments) {
        return test::runShell("XDG_DATA_HOME=" + test::shellQuote((dir.path() / "data").string()) +
                              " " + test::shellQuote(test::cliProgram().string()) + " models " +
                              arguments + " 2>&1");
    }

    nlohmann::json listing() {
        const auto result = models("--json");
        EXPECT_EQ(result.status, 0) << result.output;
        return nlohmann::json::parse(result.output);
    }

    static const nlohmann::json& entry(const nlohmann::json& list, const std::string& id) {
        for (const auto& model : list["models"]) {
            if (model["id"] == id) return model;
        }
        throw std::runtime_error("no model " + id);
    }

    test::TempDir dir;
    fs::path root;
};

TEST_F(ModelsCommandTest, ListsTheCatalogWithItsStateAndRuntimes) {
    auto list = listing();
    EXPECT_EQ(list["folder"], root.string());
    EXPECT_EQ(list["defaultModel"], "dfn3");
    ASSERT_EQ(list["models"].size(), 5u);
    EXPECT_EQ(list["models"][0]["id"], "sidon");
    EXPECT_EQ(list["models"][4]["id"], "demucs");
    EXPECT_EQ(entry(list, "dfn3")["default"], true);
    for (const auto& model : list["models"]) {
        EXPECT_EQ(model["installed"], false) << model["id"];
        EXPECT_EQ(model["ready"], false) << model["id"];
    }
    EXPECT_EQ(
        list["runtimes"],
        (nlohmann::json{{"deepFilter", false}, {"demucs", false}, {"sidonReference", false}}));
    EXPECT_FALSE(fs::exists(root)) << "listing must not create the model folder";

    // A checkpoint without its runtime is installed but not ready; with it, ready.
    fs::create_directories(root / "Models");
    test::writeFile(root / "Models" / "955717e8-8726e21a.th", "x");
    list = listing();
    EXPECT_EQ(entry(list, "demucs")["installed"], true);
    EXPECT_EQ(entry(list, "demucs")["ready"], false);
    EXPECT_NE(models("").output.find("installed, runtime missing"), std::string::npos);

    const fs::path runtime = root / "Runtime" / "demucs";
    fs::create_directories(runtime / "bin");
    test::writeFile(runtime / "bin" / "python3", "#!/bin/sh\n", true);
    test::writeFile(runtime / "ready", ManagedRuntime::revision(ManagedRuntime::Engine::demucs));
    list = listing();
    EXPECT_EQ(entry(list, "demucs")["ready"], true);
    EXPECT_EQ(list["runtimes"]["demucs"], true);

    const auto text = models("");
    EXPECT_EQ(text.status, 0);
    EXPECT_NE(text.output.find("Model folder: " + root.string()), std::string::npos);
    EXPECT_NE(text.output.find("* dfn3"), std::string::npos) << text.output;

    const auto folder = models("folder");
    EXPECT_EQ(folder.status, 0);
    EXPECT_EQ(folder.output, root.string() + "\n");
}

TEST_F(ModelsCommandTest, RemoveDeletesTheModelButNotItsRuntime) {
    fs::create_directories(root / "Models");
    fs::create_directories(root / "Runtime");
    test::writeFile(root / "Models" / "DeepFilterNet2_onnx.tar.gz", "x");
    test::writeFile(root / "Runtime" / "deep-filter", "#!/bin/sh\n", true);

    const auto removed = models("remove dfn2");
    EXPECT_EQ(removed.status, 0) << removed.output;
    EXPECT_EQ(removed.output, "Removed DeepFilterNet 2\n");
    EXPECT_FALSE(fs::exists(root / "Models" / "DeepFilterNet2_onnx.tar.gz"));
    EXPECT_TRUE(fs::exists(root / "Runtime" / "deep-filter"));

    const auto again = models("remove dfn2");
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(again.output, "DeepFilterNet 2 was not installed\n");
}

TEST_F(ModelsCommandTest, UsageMistakesAreRefusedBeforeAnythingIsFetched) {
    for (const char* arguments :
         {"install nothing-like-this", "install", "remove", "install dfn3 dfn2", "--json folder",
          "frobnicate", "remove unknown"}) {
        const auto result = models(arguments);
        EXPECT_EQ(result.status, 2) << arguments << "\n" << result.output;
        EXPECT_NE(result.output.find("Usage: corvaline-cli models"), std::string::npos)
            << result.output;
    }
    EXPECT_FALSE(fs::exists(root / "Models"));
    EXPECT_FALSE(fs::exists(root / "Runtime"));
}

TEST_F(ModelsCommandTest, AFolderThatCannotBeMadeIsNamedInTheUsersWords) {
    // The model folder's place is taken by a file: nothing can be installed below it, and the
    // refusal says where and why without the file system's own "filesystem error: … [path]".
    fs::create_directories(dir.path() / "data");
    test::writeFile(root, "not a folder");
    const auto result = models("install dfn3");
    EXPECT_EQ(result.status, 1) << result.output;
    EXPECT_NE(result.output.find("Installation could not finish."), std::string::npos)
        << result.output;
    EXPECT_NE(result.output.find("\n\nCould not use \u201c" + root.string()), std::string::npos)
        << result.output;
    EXPECT_EQ(result.output.find("filesystem error"), std::string::npos) << result.output;
}

}  // namespace
}  // namespace corvaline
