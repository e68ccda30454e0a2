#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/utsname.h>

#include <chrono>
#include <thread>

#include "InstallTestSupport.hpp"
#include "LocalHttpServer.hpp"
#include "TestSupport.hpp"
#include "audiocore/install/ModelCatalog.hpp"
#include "audiocore/install/VerifiedDownload.hpp"
#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/platform/Cancellation.hpp"
#include "audiocore/platform/Errors.hpp"

using namespace corvaline;
using namespace corvaline::test;
namespace fs = std::filesystem;
using Engine = ManagedRuntime::Engine;
using Phase = RuntimeInstallationProgress::Phase;
using Variant = SidonAssets::Variant;

namespace {

std::string failureText(const std::function<void()>& action) {
    try {
        action();
    } catch (const AudioFailure& failure) {
        return failure.what();
    }
    return "(no failure)";
}

std::string hostMachine() {
    utsname name{};
    ::uname(&name);
    return name.machine;
}

/// A model folder with stand-ins for everything a catalog installs: every file comes from a
/// local server, the Python runtime is a shell script packed at test time, the Sidon variants
/// are three small files each.
class ModelCatalogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        root = dir.path() / "Corvaline";
        control = dir.path() / "control";
        fs::create_directories(control);
        fs::create_directories(dir.path() / "tmp");
        const char* previous = std::getenv("TMPDIR");
        savedTmp = previous ? std::optional<std::string>(previous) : std::nullopt;
        ::setenv("TMPDIR", (dir.path() / "tmp").c_str(), 1);

        tools = ModelCatalog::Tools::defaults();
        for (auto& model : tools.models) {
            if (!model.url) continue;
            const std::string body = "model file of " + model.id + "\n";
            model.url = served("/" + model.file, body);
            model.checksum = digest(body);
        }
        const std::string program = "#!/bin/sh\necho deep-filter \"$@\"\n";
        tools.deepFilter = {served("/deep-filter", program), digest(program), 0};

        // The interpreter records its runs; "--verify" fails while control/fail-verify exists.
        python =
            "#!/bin/sh\n{ printf 'RUN'; for a in \"$@\"; do printf ' %s' "
            "\"$a\"; done; printf '\\n'; env; } >> '" +
            (dir.path() / "runs.log").string() +
            "'\n"
            "case \"$*\" in *--verify*) [ -e '" +
            (control / "fail-verify").string() +
            "' ] && { echo 'model check failed' >&2; exit 4; };; esac\n"
            "exit 0\n";
        fs::create_directories(dir.path() / "archive" / "python" / "bin");
        writeFile(dir.path() / "archive" / "python" / "bin" / "python3", python, true);
        const ShellResult packed =
            runShell("tar -czf " + shellQuote((dir.path() / "python.tar.gz").string()) + " -C " +
                     shellQuote((dir.path() / "archive").string()) + " python");
        ASSERT_EQ(packed.status, 0);
        tools.runtime.tar = "/usr/bin/tar";
        tools.runtime.pythonURL = served("/python.tar.gz", readFile(dir.path() / "python.tar.gz"));
        tools.runtime.pythonChecksum = referenceSha256(dir.path() / "python.tar.gz");
        tools.runtime.capacity = [](const fs::path&) { return std::optional<std::uint64_t>(); };
        tools.runtime.baseEnvironment =
            Environment{{"PATH", "/usr/bin:/bin"}, {"PYTHONPATH", "/elsewhere"}};
        tools.demucsBridge = dir.path() / "bridges" / "demucs_bridge.py";
        tools.referenceBridge = dir.path() / "bridges" / "sidon_reference_bridge.py";

        for (const auto& [name, content] :
             {std::pair<std::string, std::string>{"Sidon-Predictor.pt", randomBytes(70000, 3)},
              {"Sidon-Vocoder.pt", randomBytes(30001, 4)}}) {
            const fs::path scratch = dir.path() / "scratch";
            writeFile(scratch, content);
            sidonAssets.push_back(
                {name, std::int64_t(content.size()), referenceSha256(scratch), ""});
            server.serve("/sidon/" + name, {200, content});
        }
        tools.sidonRevision = "1111111111111111111111111111111111111111";
        tools.referenceRevision = "2222222222222222222222222222222222222222";
        tools.installSidon = [this](const fs::path& folder, const fs::path& cache, Variant variant,
                                    const SidonAssets::Validation& validate,
                                    const ProgressCallback& progress, std::stop_token stop) {
            sidonCaches.push_back(cache);
            SidonAssets::install(
                folder, cache, sidonAssets, revision(variant), validate, progress,
                [this](const SidonAssets::Asset& asset, const fs::path& destination,
                       const ProgressCallback& p, std::stop_token token) {
                    VerifiedDownload::fetch(server.url("/sidon/" + asset.path), destination,
                                            asset.checksum, p, token);
                },
                stop);
        };
        tools.sidonInstalled = [this](const fs::path& folder, Variant variant) {
            return SidonAssets::isInstalled(folder, sidonAssets, revision(variant));
        };
    }

    void TearDown() override {
        if (savedTmp) {
            ::setenv("TMPDIR", savedTmp->c_str(), 1);
        } else {
            ::unsetenv("TMPDIR");
        }
    }

    std::string revision(Variant variant) const {
        return variant == Variant::coreML ? tools.sidonRevision : tools.referenceRevision;
    }

    std::string served(const std::string& path, const std::string& body) {
        server.serve(path, {200, body});
        return server.url(path);
    }

    std::string digest(const std::string& body) {
        const fs::path scratch = dir.path() / "scratch";
        writeFile(scratch, body);
        return referenceSha256(scratch);
    }

    ModelCatalog makeCatalog() { return ModelCatalog(root, tools); }

    void install(ModelCatalog& catalog, const std::string& id, std::stop_token stop = {}) {
        catalog.install(
            *catalog.model(id),
            [this](const RuntimeInstallationProgress& p) { reports.push_back(p); }, stop);
        catalog.refresh();
    }

    /// A runtime folder that counts as ready, without installing one.
    void fakeReadyRuntime(Engine engine) {
        const fs::path folder = root / "Runtime" / ManagedRuntime::rawValue(engine);
        fs::create_directories(folder / "bin");
        writeFile(folder / "bin" / "python3", python, true);
        writeFile(folder / "ready", ManagedRuntime::revision(engine));
    }

    std::vector<std::string> messages() const {
        std::vector<std::string> list;
        for (const auto& r : reports) {
            if (list.empty() || list.back() != r.message) list.push_back(r.message);
        }
        return list;
    }

    /// Every hidden item (temporary download, staging folder) anywhere under the root.
    std::vector<std::string> hiddenItems() const {
        std::vector<std::string> found;
        std::error_code ec;
        if (!fs::exists(root)) return found;
        for (auto it = fs::recursive_directory_iterator(root, ec);
             it != fs::recursive_directory_iterator(); ++it) {
            if (it->path().filename().string().front() == '.' &&
                it->path().filename() != ".revision") {
                found.push_back(fs::relative(it->path(), root).string());
            }
        }
        return found;
    }

    TempDir dir;
    LocalHttpServer server;
    fs::path root, control;
    std::string python;  ///< the stand-in interpreter's script
    std::optional<std::string> savedTmp;
    ModelCatalog::Tools tools;
    std::vector<SidonAssets::Asset> sidonAssets;
    std::vector<fs::path> sidonCaches;
    std::vector<RuntimeInstallationProgress> reports;
};

}  // namespace

TEST(ModelCatalogEntries, FiveModelsInOrderWithThisPlatformsPins) {
    const auto& models = ModelCatalog::models();
    ASSERT_EQ(models.size(), 5u);
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"sidon", "SidonFP16"},
        {"sidon-reference", "SidonReference"},
        {"dfn3", "DeepFilterNet3_onnx.tar.gz"},
        {"dfn2", "DeepFilterNet2_onnx.tar.gz"},
        {"demucs", "955717e8-8726e21a.th"}};
    for (size_t i = 0; i < models.size(); ++i) {
        EXPECT_EQ(models[i].id, expected[i].first);
        EXPECT_EQ(models[i].file, expected[i].second);
        EXPECT_EQ(models[i].source.rfind("https://", 0), 0u) << models[i].id;
        // Nothing on Linux says the work runs on another platform.
        for (const char* platform : {"Core ML", "macOS", "Apple", "Mac"}) {
            EXPECT_EQ(models[i].detail.find(platform), std::string::npos) << models[i].id;
        }
    }
    EXPECT_EQ(models[0].name, "Sidon FP16");
    EXPECT_EQ(models[0].detail,
              "TorchScript \u00b7 CPU \u00b7 3 GB free space \u00b7 Generative; voice may change");
    EXPECT_EQ(models[0].size, "1.01 GB");  // the TorchScript checkpoints, not the Core ML files
    EXPECT_FALSE(models[0].url || models[0].checksum || models[1].url || models[1].checksum);
    EXPECT_EQ(models[2].url, pins::current().deepFilterModels + "DeepFilterNet3_onnx.tar.gz");
    EXPECT_EQ(models[2].checksum,
              "c94d91f70911001c946e0fabb4aa9adc37045f45a03b56008cb0c8244cb63616");
    EXPECT_EQ(models[3].checksum,
              "412e81d8d1779b8f925ac4b53472655a9f866c4af73dbf930ab587359f631628");
    EXPECT_EQ(models[4].url,
              "https://dl.fbaipublicfiles.com/demucs/hybrid_transformer/955717e8-8726e21a.th");
    EXPECT_EQ(models[4].checksum, "8726e21a");
    for (const auto& model : models) {
        if (model.url) {
            EXPECT_TRUE(VerifiedDownload::isAllowedAddress(*model.url)) << model.id;
        }
    }
    EXPECT_EQ(ModelCatalog::defaultModelID(), "dfn3");
}

TEST_F(ModelCatalogTest, RefreshAndConfigurationFollowTheFolder) {
    ModelCatalog catalog = makeCatalog();
    EXPECT_TRUE(catalog.installed().empty());
    EXPECT_FALSE(catalog.runtimeReady() || catalog.demucsReady() || catalog.sidonReferenceReady());
    for (const char* id : {"dfn3", "sidon", "demucs", "no-such-model"}) {
        EXPECT_EQ(failureText([&] { catalog.configuration(id, 12); }),
                  ModelCatalog::notInstalledMessage)
            << id;
    }

    // DeepFilterNet: the model alone is not enough, nor a program that cannot be run.
    fs::create_directories(root / "Models");
    writeFile(root / "Models" / "DeepFilterNet3_onnx.tar.gz", "x");
    fs::create_directories(root / "Runtime");
    writeFile(root / "Runtime" / "deep-filter", "#!/bin/sh\n");
    catalog.refresh();
    EXPECT_EQ(catalog.installed(), std::set<std::string>{"dfn3"});
    EXPECT_FALSE(catalog.isReady(*catalog.model("dfn3")));
    EXPECT_EQ(failureText([&] { catalog.configuration("dfn3", 12); }),
              ModelCatalog::speechRuntimeMessage);
    ::chmod((root / "Runtime" / "deep-filter").c_str(), 0755);
    catalog.refresh();
    EXPECT_TRUE(catalog.runtimeReady());
    EXPECT_EQ(
        catalog.configuration("dfn3", 12.5),
        InferenceConfiguration(root / "Runtime" / "deep-filter",
                               root / "Models" / "DeepFilterNet3_onnx.tar.gz", std::nullopt, 12.5));

    // HTDemucs needs its runtime; its configuration keeps the reduction.
    writeFile(root / "Models" / "955717e8-8726e21a.th", "x");
    catalog.refresh();
    EXPECT_EQ(failureText([&] { catalog.configuration("demucs", 6); }),
              ModelCatalog::demucsRuntimeMessage);
    fakeReadyRuntime(Engine::demucs);
    catalog.refresh();
    EXPECT_TRUE(catalog.isReady(*catalog.model("demucs")));
    EXPECT_EQ(
        catalog.configuration("demucs", 6),
        InferenceConfiguration(root / "Runtime" / "demucs" / "bin" / "python3",
                               root / "Models" / "955717e8-8726e21a.th", tools.demucsBridge, 6));

    // The Sidon variants count as installed only when complete and stamped.
    fs::create_directories(root / "Models" / "SidonReference");
    catalog.refresh();
    EXPECT_FALSE(catalog.installed().count("sidon-reference"));
    install(catalog, "sidon-reference");  // installs its runtime too
    EXPECT_TRUE(catalog.sidonReferenceReady());
    const auto reference = catalog.configuration("sidon-reference", 9);
    EXPECT_EQ(reference, InferenceConfiguration::sidonReference(
                             root / "Runtime" / "sidon-reference" / "bin" / "python3",
                             root / "Models" / "SidonReference", tools.referenceBridge));
    EXPECT_EQ(reference.reduction, 0);
    install(catalog, "sidon");
    EXPECT_EQ(catalog.configuration("sidon", 9),
              InferenceConfiguration::sidon(root / "Models" / "SidonFP16"));
    EXPECT_TRUE(catalog.isReady(*catalog.model("sidon")));

    // A runtime marker of another revision, or a model deleted behind the catalog's back.
    writeFile(root / "Runtime" / "sidon-reference" / "ready", "older-revision");
    fs::remove(root / "Models" / "DeepFilterNet3_onnx.tar.gz");
    catalog.refresh();
    EXPECT_EQ(failureText([&] { catalog.configuration("sidon-reference", 0); }),
              ModelCatalog::referenceRuntimeMessage);
    EXPECT_EQ(failureText([&] { catalog.configuration("dfn3", 0); }),
              ModelCatalog::notInstalledMessage);
}

TEST_F(ModelCatalogTest, DeepFilterModelBringsTheProgramFirstMadeExecutable) {
    ModelCatalog catalog = makeCatalog();
    install(catalog, "dfn2");

    const fs::path program = root / "Runtime" / "deep-filter";
    EXPECT_EQ(fs::status(program).permissions() & fs::perms::all, fs::perms(0755));
    EXPECT_EQ(readFile(root / "Models" / "DeepFilterNet2_onnx.tar.gz"), "model file of dfn2\n");
    EXPECT_TRUE(catalog.runtimeReady());
    EXPECT_EQ(catalog.installed(), std::set<std::string>{"dfn2"});
    EXPECT_TRUE(catalog.isReady(*catalog.model("dfn2")));
    EXPECT_EQ(messages(), (std::vector<std::string>{
                              "Downloading DeepFilterNet 2",
                              "Downloading Linux " + hostMachine() + " speech runtime",
                              "Downloading DeepFilterNet 2", "DeepFilterNet 2 installed"}));
    EXPECT_EQ(reports.back().phase, Phase::ready);
    EXPECT_TRUE(hiddenItems().empty());

    // The second DeepFilterNet model reuses the program; an installed model is not fetched
    // again (it is verified in place).
    const int before = server.requests();
    install(catalog, "dfn3");
    EXPECT_EQ(server.requests(), before + 1);
    EXPECT_EQ(server.requests("/deep-filter"), 1);
    install(catalog, "dfn3");
    EXPECT_EQ(server.requests(), before + 1);
}

TEST_F(ModelCatalogTest, ReferenceModelInstallsItsRuntimeAndPassesTheBridgeCheck) {
    ModelCatalog catalog = makeCatalog();
    install(catalog, "sidon-reference");
    EXPECT_TRUE(catalog.sidonReferenceReady());
    EXPECT_FALSE(catalog.demucsReady());
    EXPECT_TRUE(catalog.isReady(*catalog.model("sidon-reference")));
    EXPECT_EQ(readFile(root / "Models" / "SidonReference" / ".revision"), tools.referenceRevision);
    ASSERT_EQ(sidonCaches.size(), 1u);
    EXPECT_EQ(sidonCaches[0], root / "Downloads" / "SidonReference" / tools.referenceRevision);

    // The runtime's own messages carry the prefix; the model's do not.
    const auto shown = messages();
    ASSERT_GE(shown.size(), 4u);
    EXPECT_EQ(shown.front(), "Downloading Sidon CPU Reference");
    EXPECT_EQ(shown[1], "Sidon Reference \u00b7 Downloading audio runtime");
    EXPECT_NE(std::find(shown.begin(), shown.end(),
                        "Sidon Reference \u00b7 Installing audio engine and dependencies"),
              shown.end());
    EXPECT_EQ(shown[shown.size() - 2], "Downloading Sidon CPU Reference");
    EXPECT_EQ(shown.back(), "Sidon CPU Reference installed");

    // The model check ran the installed interpreter on the staged folder, isolated, with the
    // managed environment.
    const std::string runs = readFile(dir.path() / "runs.log");
    const auto verify = runs.find(" --verify");
    ASSERT_NE(verify, std::string::npos) << runs;
    const std::string line =
        runs.substr(runs.rfind("RUN", verify), verify + 9 - runs.rfind("RUN", verify));
    EXPECT_EQ(line.rfind("RUN -I " + tools.referenceBridge.string() + " --repo " +
                             (root / "Models").string() + "/.sidon-install-",
                         0),
              0u)
        << line;
    const std::string afterVerify = runs.substr(verify);
    EXPECT_EQ(afterVerify.find("PYTHONPATH="), std::string::npos);
    EXPECT_NE(afterVerify.find("PYTHONNOUSERSITE=1"), std::string::npos);
    EXPECT_TRUE(hiddenItems().empty()) << hiddenItems().front();
}

TEST_F(ModelCatalogTest, FailedModelCheckLeavesThePreviousInstallation) {
    fakeReadyRuntime(Engine::sidonReference);
    ModelCatalog catalog = makeCatalog();
    writeFile(control / "fail-verify", "");
    try {
        install(catalog, "sidon-reference");
        ADD_FAILURE() << "a failing model check was accepted";
    } catch (const std::exception& error) {
        const std::string text = error.what();
        EXPECT_EQ(text.rfind("Local runtime failed (4).", 0), 0u) << text;
        EXPECT_NE(text.find("model check failed"), std::string::npos) << text;
        EXPECT_EQ(ModelCatalog::failureText(error, text),
                  std::string("Installation could not finish. Check your internet connection and "
                              "available disk space, then try again.\n\n") +
                      text);
    }
    catalog.refresh();
    EXPECT_FALSE(catalog.installed().count("sidon-reference"));
    EXPECT_FALSE(fs::exists(root / "Models" / "SidonReference"));
    EXPECT_TRUE(hiddenItems().empty());
    EXPECT_TRUE(fs::is_empty(dir.path() / "tmp"));  // no runner log left
}

TEST(ModelCatalogFailureText, OnlyALibraryMissingOnThisComputerGoesWithoutTheAdvice) {
    const std::string advice =
        "Installation could not finish. Check your internet connection and available disk "
        "space, then try again.\n\n";
    // The network's and the disk's failures keep the advice, with their own description.
    const AudioFailure server(VerifiedDownload::serverFailureMessage);
    EXPECT_EQ(ModelCatalog::failureText(server, server.what()), advice + server.what());
    const LibraryError network("libcurl", "Could not resolve host: example.org");
    EXPECT_EQ(ModelCatalog::failureText(network, "The download could not finish.\nCould not"),
              advice + "The download could not finish.\nCould not");
    const std::filesystem::filesystem_error disk(
        "write", "/tmp/x", std::make_error_code(std::errc::no_space_on_device));
    EXPECT_EQ(ModelCatalog::failureText(disk, "the disk is full"), advice + "the disk is full");
    // A missing library is neither: its refusal says what to install, and stands alone
    // whatever the front end would have called it.
    const MissingLibrary missing(
        "Could not download \u201cdeep-filter\u201d: Corvaline downloads models and runtimes "
        "through libcurl (libcurl.so.4), which could not be loaded. Install it again (on "
        "Debian: libcurl4).\n/nonexistent/libcurl.so.4: cannot open shared object file");
    EXPECT_EQ(ModelCatalog::failureText(missing, "something else"), missing.what());
}

TEST_F(ModelCatalogTest, CancelledInstallationLeavesNoPartialFile) {
    fakeReadyRuntime(Engine::demucs);
    std::string body = randomBytes(4 * 65536, 9);
    LocalHttpServer::Response slow{200, body};
    slow.slowAfter = 65536;
    slow.pause = std::chrono::milliseconds(20);
    server.serve("/slow.th", slow);
    for (auto& model : tools.models) {
        if (model.id == "demucs") {
            model.url = server.url("/slow.th");
            model.checksum = digest(body);
        }
    }
    ModelCatalog catalog = makeCatalog();

    std::stop_source stop;
    std::thread canceller([&] {
        // Cancel once part of the body has arrived.
        for (int i = 0; i < 500 && reports.size() < 3; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        stop.request_stop();
    });
    EXPECT_THROW(install(catalog, "demucs", stop.get_token()), Cancelled);
    canceller.join();
    catalog.refresh();
    EXPECT_FALSE(catalog.installed().count("demucs"));
    EXPECT_FALSE(fs::exists(root / "Models" / "955717e8-8726e21a.th"));
    EXPECT_TRUE(hiddenItems().empty());

    // Cancelled before it starts: nothing is requested.
    const int before = server.requests();
    std::stop_source early;
    early.request_stop();
    EXPECT_THROW(install(catalog, "dfn3", early.get_token()), Cancelled);
    EXPECT_EQ(server.requests(), before);
    EXPECT_FALSE(fs::exists(root / "Runtime" / "deep-filter"));
}

TEST_F(ModelCatalogTest, RemovalDeletesTheModelAndSidonCachesButKeepsRuntimes) {
    ModelCatalog catalog = makeCatalog();
    install(catalog, "dfn3");
    install(catalog, "sidon");
    ASSERT_EQ(catalog.installed(), (std::set<std::string>{"dfn3", "sidon"}));
    ASSERT_TRUE(fs::exists(root / "Downloads" / "SidonFP16" / tools.sidonRevision));

    catalog.remove(*catalog.model("sidon"));
    catalog.refresh();
    EXPECT_FALSE(fs::exists(root / "Models" / "SidonFP16"));
    EXPECT_FALSE(fs::exists(root / "Downloads" / "SidonFP16"));
    catalog.remove(*catalog.model("dfn3"));
    catalog.refresh();
    EXPECT_TRUE(catalog.installed().empty());
    EXPECT_TRUE(catalog.runtimeReady());  // runtimes are not removed with a model

    // Removing what is not there is no error.
    EXPECT_NO_THROW(catalog.remove(*catalog.model("demucs")));
}

TEST_F(ModelCatalogTest, ModelWithoutDownloadPinIsRefused) {
    for (auto& model : tools.models) {
        if (model.id == "dfn3") model.checksum.reset();
    }
    ModelCatalog catalog = makeCatalog();
    EXPECT_EQ(failureText([&] { install(catalog, "dfn3"); }), ModelCatalog::invalidDownloadMessage);
    EXPECT_FALSE(catalog.installed().count("dfn3"));
}

TEST_F(ModelCatalogTest, PlatformWithoutAPinnedProgramSaysSoBeforeFetching) {
    tools.deepFilter = {};
    tools.machine = "aarch64";
    ModelCatalog catalog = makeCatalog();
    EXPECT_EQ(failureText([&] { install(catalog, "dfn3"); }),
              "No DeepFilterNet program is published for Linux aarch64. Choose another model.");
    EXPECT_EQ(server.requests(), 0);
    EXPECT_FALSE(fs::exists(root / "Models" / "DeepFilterNet3_onnx.tar.gz"));
}
