#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <thread>
#include <utility>

#include "InstallTestSupport.hpp"
#include "LocalHttpServer.hpp"
#include "TestSupport.hpp"
#include "audiocore/install/ManagedRuntime.hpp"
#include "audiocore/install/VerifiedDownload.hpp"
#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/platform/Cancellation.hpp"

using namespace corvaline;
using namespace corvaline::test;
namespace fs = std::filesystem;
using Engine = ManagedRuntime::Engine;
using Phase = RuntimeInstallationProgress::Phase;

namespace {

std::string hostMachine() {
    utsname name{};
    ::uname(&name);
    return name.machine;
}

/// One recorded run of a stand-in program.
struct Call {
    std::string program;
    std::vector<std::string> arguments;
    std::map<std::string, std::string> environment;
};

const std::string kIndex = "https://index.test/simple";
const std::string kTorchIndex = "https://torch.test/cpu";
const std::string kDemucsValidation =
    "import torch,torchaudio,soundfile,numpy; import demucs; from demucs.pretrained import "
    "get_model; from demucs.apply import apply_model; assert "
    "torch.__version__.startswith('2.5.1'); assert torch.isfinite(torch.randn(16)).all(); assert "
    "torchaudio.functional.resample(torch.zeros(480),48000,44100).numel() > 0";
const std::string kSidonValidation =
    "import torch,torchaudio,soundfile,numpy; import transformers; from transformers import "
    "SeamlessM4TFeatureExtractor; assert transformers.__version__ == '4.51.3'; "
    "SeamlessM4TFeatureExtractor(); assert torch.__version__.startswith('2.5.1'); assert "
    "torch.isfinite(torch.randn(16)).all(); assert "
    "torchaudio.functional.resample(torch.zeros(480),48000,44100).numel() > 0";

class ManagedRuntimeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        root = dir.path() / "root";
        folder = root / "Runtime" / "demucs";
        cache = root / "Downloads";
        control = dir.path() / "control";
        log = dir.path() / "calls.log";
        fs::create_directories(control);
        // The runner's log files go to this test's own temporary folder.
        const char* previous = std::getenv("TMPDIR");
        savedTmp = previous ? std::optional<std::string>(previous) : std::nullopt;
        fs::create_directories(dir.path() / "tmp");
        ::setenv("TMPDIR", (dir.path() / "tmp").c_str(), 1);

        const std::string recorder =
            "{\n"
            "  printf 'CALL %s\\n' \"$0\"\n"
            "  for a in \"$@\"; do printf 'ARG %s\\n' \"$a\"; done\n"
            "  export -p\n"
            "  printf 'END\\n'\n"
            "} >> '" +
            log.string() + "'\n";
        // A stand-in interpreter: records every run, runs the sanity check with the system's
        // own Python 3.11 and obeys control files for the pip and validation steps.
        const std::string python =
            "#!/bin/sh\n" + recorder + "CONTROL='" + control.string() + "'\n" +
            "case \"$3\" in *platform.machine*) exec /usr/bin/python3 -I -c \"$3\";; esac\n"
            "case \"$*\" in *numpy==1.26.4*)\n"
            "  if [ -e \"$CONTROL/fail-packages\" ]; then\n"
            "    echo 'ERROR: No matching distribution found for torch==2.5.1' >&2; exit 3; fi\n"
            "  if [ -e \"$CONTROL/hang-packages\" ]; then : > \"$CONTROL/hanging\"; sleep 30; fi\n"
            "esac\n"
            "case \"$3\" in 'import torch'*)\n"
            "  case \"$0\" in *-install-*) ;; *)\n"
            "    if [ -e \"$CONTROL/fail-final-validation\" ]; then\n"
            "      echo 'ImportError: moved runtime is broken' >&2; exit 1; fi\n"
            "    if [ -e \"$CONTROL/hang-final-validation\" ]; then sleep 30; fi;;\n"
            "  esac;;\n"
            "esac\n"
            "exit 0\n";
        fs::create_directories(dir.path() / "archive" / "python" / "bin");
        writeFile(dir.path() / "archive" / "python" / "bin" / "python3", python, true);
        writeFile(dir.path() / "archive" / "python" / "README", "stand-in interpreter\n");
        const std::string pack = "tar -czf '" + (dir.path() / "python.tar.gz").string() + "' -C '" +
                                 (dir.path() / "archive").string() + "' python";
        ASSERT_EQ(std::system(pack.c_str()), 0);
        server.serve("/python.tar.gz", {200, readFile(dir.path() / "python.tar.gz")});

        writeFile(dir.path() / "tar", "#!/bin/sh\n" + recorder + "exec /usr/bin/tar \"$@\"\n",
                  true);

        tools.tar = dir.path() / "tar";
        tools.pythonURL = server.url("/python.tar.gz");
        tools.pythonChecksum = referenceSha256(dir.path() / "python.tar.gz");
        tools.packageIndex = kIndex;
        tools.torchIndex = kTorchIndex;
        tools.torchVariant = "+cpu";
        tools.machine = hostMachine();
        tools.capacity = [](const fs::path&) { return std::optional<std::uint64_t>(); };
        tools.baseEnvironment = Environment{{"PATH", "/usr/bin:/bin"},
                                            {"HOME", dir.path().string()},
                                            {"KEEP_ME", "yes"},
                                            {"PYTHONPATH", "/elsewhere"},
                                            {"PYTHONHOME", "/elsewhere/home"},
                                            {"VIRTUAL_ENV", "/venv"},
                                            {"PIP_INDEX_URL", "https://other.test"},
                                            {"PIP_REQUIRE_VIRTUALENV", "1"}};
    }

    void TearDown() override {
        if (savedTmp) {
            ::setenv("TMPDIR", savedTmp->c_str(), 1);
        } else {
            ::unsetenv("TMPDIR");
        }
    }

    void install(const fs::path& target, Engine engine, std::stop_token stop = {}) {
        ManagedRuntime::install(
            target, cache, engine,
            [this](const RuntimeInstallationProgress& p) { reports.push_back(p); }, stop, tools);
    }

    std::vector<Call> calls() const {
        std::vector<Call> result;
        if (!fs::exists(log)) return result;
        std::istringstream in(readFile(log));
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind("CALL ", 0) == 0) {
                result.push_back({line.substr(5), {}, {}});
            } else if (line.rfind("ARG ", 0) == 0) {
                result.back().arguments.push_back(line.substr(4));
            } else if (line.rfind("export ", 0) == 0) {
                // dash prints: export NAME='value'
                const auto eq = line.find('=');
                const std::string name =
                    line.substr(7, eq == std::string::npos ? std::string::npos : eq - 7);
                std::string value;
                if (eq != std::string::npos) value = line.substr(eq + 2, line.size() - eq - 3);
                result.back().environment[name] = value;
            }
        }
        return result;
    }

    std::string failureText(const std::function<void()>& action) {
        try {
            action();
        } catch (const AudioFailure& failure) {
            return failure.what();
        }
        return "(no failure)";
    }

    /// Hidden staging and backup folders left in the Runtime folder.
    std::vector<std::string> hiddenLeftovers() const {
        return entriesStartingWith(root / "Runtime", ".");
    }

    TempDir dir;
    LocalHttpServer server;
    fs::path root, folder, cache, control, log;
    std::optional<std::string> savedTmp;
    ManagedRuntime::Tools tools;
    std::vector<RuntimeInstallationProgress> reports;
};

}  // namespace

TEST_F(ManagedRuntimeTest, InstallRunsEveryStepInOrder) {
    install(folder, Engine::demucs);

    EXPECT_TRUE(ManagedRuntime::isReady(folder, Engine::demucs));
    EXPECT_EQ(readFile(folder / "ready"), "python-3.11.17-demucs-4.0.1-v1");
    EXPECT_EQ(readFile(folder / "README"), "stand-in interpreter\n");  // one level stripped
    EXPECT_TRUE(fs::exists(cache / "python-3.11.17-demucs-4.0.1-v1.tar.gz"));
    EXPECT_TRUE(hiddenLeftovers().empty());
    EXPECT_TRUE(fs::is_empty(dir.path() / "tmp"));  // the runner's logs are gone

    const auto runs = calls();
    ASSERT_EQ(runs.size(), 6u);
    const fs::path staging = fs::path(runs[1].program).parent_path().parent_path();
    EXPECT_EQ(staging.parent_path(), root / "Runtime");
    EXPECT_EQ(staging.filename().string().rfind(".demucs-install-", 0), 0u);
    EXPECT_EQ(staging.filename().string().size(), std::string(".demucs-install-").size() + 36);

    EXPECT_EQ(runs[0].program, (dir.path() / "tar").string());
    EXPECT_EQ(runs[0].arguments,
              (std::vector<std::string>{"-xzf",
                                        (cache / "python-3.11.17-demucs-4.0.1-v1.tar.gz").string(),
                                        "--strip-components", "1", "-C", staging.string()}));
    const std::string stagedPython = (staging / "bin" / "python3").string();
    for (std::size_t i = 1; i <= 4; ++i)
        EXPECT_EQ(runs[i].program, stagedPython) << i;
    EXPECT_EQ(runs[5].program, (folder / "bin" / "python3").string());
    EXPECT_EQ(runs[1].arguments,
              (std::vector<std::string>{"-I", "-c",
                                        "import sys,platform; assert sys.version_info[:2] == "
                                        "(3,11); assert platform.machine() == '" +
                                            hostMachine() + "'"}));
    EXPECT_EQ(runs[2].arguments,
              (std::vector<std::string>{"-I", "-m", "pip", "install", "--index-url", kIndex,
                                        "pip==25.2", "setuptools==80.9.0", "wheel==0.45.1"}));
    EXPECT_EQ(runs[3].arguments,
              (std::vector<std::string>{"-I", "-m", "pip", "install", "--index-url", kIndex,
                                        "--extra-index-url", kTorchIndex, "torch==2.5.1+cpu",
                                        "torchaudio==2.5.1+cpu", "soundfile==0.13.1",
                                        "numpy==1.26.4", "demucs==4.0.1"}));
    EXPECT_EQ(runs[4].arguments, (std::vector<std::string>{"-I", "-c", kDemucsValidation}));
    EXPECT_EQ(runs[5].arguments, runs[4].arguments);

    for (std::size_t i = 1; i < runs.size(); ++i) {
        const auto& env = runs[i].environment;
        for (const char* removed : {"PYTHONPATH", "PYTHONHOME", "VIRTUAL_ENV", "PIP_INDEX_URL",
                                    "PIP_REQUIRE_VIRTUALENV"}) {
            EXPECT_EQ(env.count(removed), 0u) << removed << " in run " << i;
        }
        EXPECT_EQ(env.at("PIP_CACHE_DIR"), (cache / "packages").string());
        EXPECT_EQ(env.at("PYTHONNOUSERSITE"), "1");
        EXPECT_EQ(env.at("PIP_CONFIG_FILE"), "/dev/null");
        EXPECT_EQ(env.at("PIP_DISABLE_PIP_VERSION_CHECK"), "1");
        EXPECT_EQ(env.at("PIP_NO_INPUT"), "1");
        EXPECT_EQ(env.at("KEEP_ME"), "yes");
    }

    ASSERT_GE(reports.size(), 5u);
    EXPECT_EQ(reports.front(),
              (RuntimeInstallationProgress{Phase::download, "Downloading audio runtime", 0.0}));
    std::size_t at = 1;
    while (at < reports.size() && reports[at].phase == Phase::download) {
        EXPECT_EQ(reports[at].message, "Downloading audio runtime");
        ++at;
    }
    EXPECT_EQ(reports[at - 1].fraction, 1.0);
    const std::vector<RuntimeInstallationProgress> rest(reports.begin() + at, reports.end());
    EXPECT_EQ(rest,
              (std::vector<RuntimeInstallationProgress>{
                  {Phase::unpack, "Preparing audio runtime", std::nullopt},
                  {Phase::dependencies, "Installing audio engine and dependencies", std::nullopt},
                  {Phase::verify, "Checking audio runtime", std::nullopt},
                  {Phase::ready, "Audio runtime installed", 1.0}}));
}

TEST_F(ManagedRuntimeTest, SecondEngineReusesTheCachedArchive) {
    install(folder, Engine::demucs);
    fs::remove(log);
    const fs::path reference = root / "Runtime" / "sidon-reference";
    install(reference, Engine::sidonReference);
    EXPECT_EQ(server.requests(), 1);
    EXPECT_TRUE(ManagedRuntime::isReady(reference, Engine::sidonReference));
    EXPECT_FALSE(ManagedRuntime::isReady(reference, Engine::demucs));
    EXPECT_EQ(readFile(reference / "ready"), "python-3.11.17-sidon-reference-torch-2.5.1-v1");

    const auto runs = calls();
    ASSERT_EQ(runs.size(), 6u);
    EXPECT_NE(runs[1].program.find("/.sidon-reference-install-"), std::string::npos);
    EXPECT_EQ(runs[3].arguments,
              (std::vector<std::string>{
                  "-I", "-m", "pip", "install", "--index-url", kIndex, "--extra-index-url",
                  kTorchIndex, "--only-binary=:all:", "torch==2.5.1+cpu", "torchaudio==2.5.1+cpu",
                  "soundfile==0.13.1", "numpy==1.26.4", "transformers==4.51.3",
                  "huggingface-hub==0.36.2", "tokenizers==0.21.4", "safetensors==0.8.0"}));
    EXPECT_EQ(runs[4].arguments, (std::vector<std::string>{"-I", "-c", kSidonValidation}));
    EXPECT_TRUE(ManagedRuntime::isReady(folder, Engine::demucs));
}

TEST_F(ManagedRuntimeTest, PipFailureKeepsThePreviousRuntime) {
    install(folder, Engine::demucs);
    writeFile(folder / "previous-marker", "first");
    writeFile(control / "fail-packages", "");
    const std::string text = failureText([&] { install(folder, Engine::demucs); });
    EXPECT_EQ(text.rfind("Local runtime failed (3).\n", 0), 0u) << text;
    EXPECT_NE(text.find("No matching distribution found for torch==2.5.1"), std::string::npos);
    EXPECT_TRUE(ManagedRuntime::isReady(folder, Engine::demucs));
    EXPECT_EQ(readFile(folder / "previous-marker"), "first");
    EXPECT_TRUE(hiddenLeftovers().empty());
    EXPECT_TRUE(fs::is_empty(dir.path() / "tmp"));
}

TEST_F(ManagedRuntimeTest, ValidationFailureAfterTheSwitchRestoresThePreviousRuntime) {
    install(folder, Engine::demucs);
    writeFile(folder / "previous-marker", "first");
    writeFile(control / "fail-final-validation", "");
    const std::string text = failureText([&] { install(folder, Engine::demucs); });
    EXPECT_EQ(text.rfind("Local runtime failed (1).\n", 0), 0u) << text;
    EXPECT_NE(text.find("moved runtime is broken"), std::string::npos);
    EXPECT_EQ(readFile(folder / "previous-marker"), "first");
    EXPECT_TRUE(ManagedRuntime::isReady(folder, Engine::demucs));
    EXPECT_TRUE(hiddenLeftovers().empty());

    // Without a previous runtime nothing half-validated stays behind.
    const fs::path fresh = root / "Runtime" / "sidon-reference";
    EXPECT_NE(failureText([&] { install(fresh, Engine::sidonReference); }), "(no failure)");
    EXPECT_FALSE(fs::exists(fresh));
    EXPECT_TRUE(hiddenLeftovers().empty());
}

TEST_F(ManagedRuntimeTest, CancellationDuringPipKeepsThePreviousRuntime) {
    install(folder, Engine::demucs);
    writeFile(folder / "previous-marker", "first");
    writeFile(control / "hang-packages", "");
    std::stop_source stop;
    std::thread canceller([&] {
        for (int i = 0; i < 1000 && !fs::exists(control / "hanging"); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        stop.request_stop();
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(install(folder, Engine::demucs, stop.get_token()), Cancelled);
    canceller.join();
    EXPECT_TRUE(fs::exists(control / "hanging"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_TRUE(ManagedRuntime::isReady(folder, Engine::demucs));
    EXPECT_EQ(readFile(folder / "previous-marker"), "first");
    EXPECT_TRUE(hiddenLeftovers().empty());
}

TEST_F(ManagedRuntimeTest, InterpreterForAnotherMachineIsRejected) {
    tools.machine = hostMachine() == "x86_64" ? "aarch64" : "x86_64";
    const std::string text = failureText([&] { install(folder, Engine::demucs); });
    EXPECT_EQ(text.rfind("Local runtime failed (1).\n", 0), 0u) << text;
    EXPECT_NE(text.find("AssertionError"), std::string::npos);
    EXPECT_EQ(calls().size(), 2u);  // tar and the sanity check; no pip
    EXPECT_FALSE(fs::exists(folder));
    EXPECT_TRUE(hiddenLeftovers().empty());
}

TEST_F(ManagedRuntimeTest, FreeSpaceAndArchiveVerificationFailBeforeUnpacking) {
    tools.capacity = [](const fs::path&) { return std::optional<std::uint64_t>(1999999999ULL); };
    EXPECT_EQ(failureText([&] { install(folder, Engine::demucs); }),
              "At least 2 GB of free space is needed to install the audio runtime.");
    EXPECT_EQ(server.requests(), 0);

    tools.capacity = [](const fs::path&) { return std::optional<std::uint64_t>(2000000000ULL); };
    tools.pythonChecksum = std::string(64, '0');
    EXPECT_EQ(failureText([&] { install(folder, Engine::demucs); }),
              VerifiedDownload::verificationFailureMessage);
    EXPECT_TRUE(calls().empty());
    EXPECT_TRUE(hiddenLeftovers().empty());
    EXPECT_FALSE(fs::exists(cache / "python-3.11.17-demucs-4.0.1-v1.tar.gz"));
}

TEST(ManagedRuntimeReady, MarkerMustMatchExactlyAndInterpreterMustRun) {
    TempDir dir;
    const fs::path folder = dir / "demucs";
    fs::create_directories(folder / "bin");
    EXPECT_FALSE(ManagedRuntime::isReady(folder, Engine::demucs));
    writeFile(folder / "ready", "python-3.11.17-demucs-4.0.1-v1");
    EXPECT_FALSE(ManagedRuntime::isReady(folder, Engine::demucs));  // no interpreter
    writeFile(folder / "bin" / "python3", "#!/bin/sh\n");
    EXPECT_FALSE(ManagedRuntime::isReady(folder, Engine::demucs));  // not executable
    fs::permissions(folder / "bin" / "python3", fs::perms::owner_exec, fs::perm_options::add);
    EXPECT_TRUE(ManagedRuntime::isReady(folder, Engine::demucs));
    EXPECT_FALSE(ManagedRuntime::isReady(folder, Engine::sidonReference));
    writeFile(folder / "ready", "python-3.11.17-demucs-4.0.1-v1\n");
    EXPECT_FALSE(ManagedRuntime::isReady(folder, Engine::demucs));
    writeFile(folder / "ready", "python-3.11.17-demucs-4.0.0-v1");
    EXPECT_FALSE(ManagedRuntime::isReady(folder, Engine::demucs));
    EXPECT_EQ(ManagedRuntime::python(folder), folder / "bin" / "python3");
}

TEST(ManagedRuntimeEnvironment, RemovesForeignPythonAndPipSettings) {
    const Environment base{
        {"PATH", "/usr/bin"},           {"PYTHONPATH", "/x"},          {"PYTHONHOME", "/y"},
        {"VIRTUAL_ENV", "/v"},          {"__PYVENV_LAUNCHER__", "/l"}, {"PIP_TARGET", "/t"},
        {"PIP_INDEX_URL", "https://x"}, {"PIPX_HOME", "/p"},           {"PYTHONUNBUFFERED", "1"}};
    const Environment env = ManagedRuntime::environment(std::nullopt, base);
    EXPECT_EQ(env, (Environment{{"PATH", "/usr/bin"},
                                {"PIPX_HOME", "/p"},  // not a "PIP_" variable
                                {"PYTHONUNBUFFERED", "1"},
                                {"PYTHONNOUSERSITE", "1"},
                                {"PIP_CONFIG_FILE", "/dev/null"},
                                {"PIP_DISABLE_PIP_VERSION_CHECK", "1"},
                                {"PIP_NO_INPUT", "1"}}));
    EXPECT_EQ(ManagedRuntime::environment(fs::path("/cache/packages"), base).at("PIP_CACHE_DIR"),
              "/cache/packages");

    ::setenv("PIP_USER", "1", 1);
    ::setenv("PYTHONPATH", "/from/the/shell", 1);
    const Environment fromProcess = ManagedRuntime::environment(std::nullopt);
    ::unsetenv("PIP_USER");
    ::unsetenv("PYTHONPATH");
    EXPECT_EQ(fromProcess.count("PIP_USER"), 0u);
    EXPECT_EQ(fromProcess.count("PYTHONPATH"), 0u);
    EXPECT_EQ(fromProcess.count("PIP_CACHE_DIR"), 0u);
}

TEST(ManagedRuntimePins, DefaultsMatchTheBuildMachine) {
    const auto tools = ManagedRuntime::Tools::defaults();
    EXPECT_EQ(tools.machine, hostMachine());
#if defined(__linux__) && defined(__x86_64__)
    const auto arguments = ManagedRuntime::packageArguments(Engine::demucs, tools);
    EXPECT_NE(std::find(arguments.begin(), arguments.end(), "torch==2.5.1+cpu"), arguments.end());
#endif
}

// A kill during an installation leaves its staging folder (or, during the final switch, the
// previous runtime set aside); the next installation (of either engine) sweeps them, but never
// those of an installation still running elsewhere.

/// Where the child installation hangs until it is killed ("packages" or "final-validation").
constexpr const char* kChildHangVariable = "CORVALINE_TEST_CHILD_HANG";

TEST_F(ManagedRuntimeTest, DISABLED_ChildInstallationHeldOpen) {
    const char* shared = std::getenv(kChildRootVariable);
    const char* hang = std::getenv(kChildHangVariable);
    if (!shared || !hang) GTEST_SKIP() << "runs only as the child of a staging test";
    writeFile(control / ("hang-" + std::string(hang)), "");  // that step takes 30 s
    install(fs::path(shared) / "Runtime" / "demucs", Engine::demucs);
}

class AbandonedInstallationTest : public ManagedRuntimeTest {
  protected:
    /// Starts a child installation of demucs into `root` that hangs at `step`, and waits until
    /// `prefix` + UUID in the Runtime folder holds `inside`. Returns that folder.
    std::optional<fs::path> startChild(const std::string& step, const std::string& prefix,
                                       const std::string& inside) {
        ::setenv(kChildHangVariable, step.c_str(), 1);
        child = startTestChild("ManagedRuntimeTest.DISABLED_ChildInstallationHeldOpen", root);
        ::unsetenv(kChildHangVariable);
        if (child <= 0) return std::nullopt;
        std::optional<fs::path> found;
        waitWhileRunning(child, [&] {
            for (const auto& name : entriesStartingWith(root / "Runtime", prefix)) {
                if (fs::exists(root / "Runtime" / name / inside)) found = root / "Runtime" / name;
            }
            return found.has_value();
        });
        return found;
    }

    void TearDown() override {
        if (child > 0) killChild(child);
        ManagedRuntimeTest::TearDown();
    }

    pid_t child = -1;
};

TEST_F(AbandonedInstallationTest, StagingOfAKilledInstallationGoesWithTheNextButALiveOneStays) {
    const auto staging = startChild("packages", ".demucs-install-", "bin/python3");
    ASSERT_TRUE(staging) << "the child installation never unpacked its runtime";

    install(root / "Runtime" / "sidon-reference", Engine::sidonReference);
    EXPECT_TRUE(
        ManagedRuntime::isReady(root / "Runtime" / "sidon-reference", Engine::sidonReference));
    EXPECT_TRUE(fs::exists(*staging / "bin" / "python3"))
        << "a running installation lost its files";

    killChild(std::exchange(child, -1));
    install(folder, Engine::demucs);
    EXPECT_TRUE(ManagedRuntime::isReady(folder, Engine::demucs));
    EXPECT_FALSE(fs::exists(*staging));
    EXPECT_TRUE(hiddenLeftovers().empty()) << hiddenLeftovers().front();
    // The installed runtimes carry no trace of the staging lock.
    EXPECT_FALSE(fs::exists(folder / ".lock"));
    EXPECT_FALSE(fs::exists(root / "Runtime" / "sidon-reference" / ".lock"));
}

TEST_F(AbandonedInstallationTest, APreviousRuntimeSetAsideByAKilledSwitchGoesWithTheNext) {
    install(folder, Engine::demucs);
    writeFile(folder / "previous-marker", "first");
    // The child replaces it and hangs while checking the new one in place.
    const auto backup =
        startChild("final-validation", ".demucs-previous-", "runtime/previous-marker");
    ASSERT_TRUE(backup) << "the child installation never set the previous runtime aside";

    install(root / "Runtime" / "sidon-reference", Engine::sidonReference);
    EXPECT_TRUE(fs::exists(*backup / "runtime" / "previous-marker"))
        << "a running installation lost the runtime it may have to put back";

    killChild(std::exchange(child, -1));
    install(folder, Engine::demucs);
    EXPECT_TRUE(ManagedRuntime::isReady(folder, Engine::demucs));
    EXPECT_FALSE(fs::exists(*backup));
    EXPECT_TRUE(hiddenLeftovers().empty()) << hiddenLeftovers().front();
}
