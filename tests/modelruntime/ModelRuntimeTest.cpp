#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "TestSupport.hpp"
#include "audiocore/modelruntime/ModelRuntime.hpp"
#include "audiocore/modelruntime/ReferenceVocoder.hpp"
#include "audiocore/platform/Errors.hpp"
#include "audiocore/platform/Paths.hpp"

using namespace corvaline;
using namespace corvaline::test;
namespace fs = std::filesystem;

namespace {

fs::path probeProgram() {
    return paths::executableFolder() / "modelruntime_probe";
}

std::string failureText(const std::function<void()>& action) {
    try {
        action();
    } catch (const LibraryError& failure) {
        EXPECT_EQ(failure.library(), "libtorch");
        return failure.what();
    }
    return "(no failure)";
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

/// A 16-bit stereo WAV of `frames` frames of silence.
void writeWav(const fs::path& path, std::uint32_t frames) {
    std::string bytes;
    auto u32 = [&](std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            bytes.push_back(char((v >> (8 * i)) & 0xff));
    };
    auto u16 = [&](std::uint16_t v) {
        bytes.push_back(char(v & 0xff));
        bytes.push_back(char(v >> 8));
    };
    const std::uint32_t data = frames * 4;
    bytes += "RIFF";
    u32(36 + data);
    bytes += "WAVEfmt ";
    u32(16);
    u16(1);
    u16(2);
    u32(48000);
    u32(48000 * 4);
    u16(4);
    u16(16);
    bytes += "data";
    u32(data);
    bytes.append(data, '\0');
    writeFile(path, bytes);
}

/// Replaces one entry (found by the end of its name) of a TorchScript archive through
/// Python's zipfile module; `python` computes the new content from `old` (bytes).
void rewriteArchiveEntry(const fs::path& archive, const std::string& suffix,
                         const std::string& python) {
    const std::string script =
        "import sys, zipfile\n"
        "src, dst = sys.argv[1], sys.argv[1] + '.new'\n"
        "with zipfile.ZipFile(src) as a, zipfile.ZipFile(dst, 'w', zipfile.ZIP_STORED) as b:\n"
        "    for info in a.infolist():\n"
        "        old = a.read(info.filename)\n"
        "        if info.filename.endswith('" +
        suffix +
        "'):\n"
        "            old = " +
        python +
        "\n"
        "        b.writestr(info.filename, old)\n";
    const ShellResult result = runShell(
        "python3 -c " + shellQuote(script) + " " + shellQuote(archive.string()) + " && mv " +
        shellQuote(archive.string() + ".new") + " " + shellQuote(archive.string()));
    ASSERT_EQ(result.status, 0);
}

}  // namespace

TEST(ModelRuntimeModule, LoadedOnlyWhenAModelRunsAndFoundBesideTheProgram) {
    TempDir dir;
    const ShellResult idle = runShell(shellQuote(probeProgram().string()));
    EXPECT_EQ(idle.status, 0);
    EXPECT_EQ(idle.output, "torch-before=0\n");

    const ShellResult used = runShell(shellQuote(probeProgram().string()) + " " +
                                      shellQuote((dir / "double.pt").string()));
    EXPECT_EQ(used.status, 0) << used.output;
    EXPECT_EQ(used.output, "torch-before=0\nresult=4\ntorch-after=1\n");
}

TEST(ModelRuntimeModule, MissingOrBrokenModuleIsAClearRefusal) {
    TempDir dir;
    fs::create_directories(dir / "bin");
    const fs::path probe = dir / "bin" / "modelruntime_probe";
    fs::copy_file(probeProgram(), probe);
    const std::string command =
        shellQuote(probe.string()) + " " + shellQuote((dir / "model.pt").string());

    const ShellResult missing = runShell(command);
    EXPECT_EQ(missing.status, 1);
    EXPECT_TRUE(contains(missing.output, "is not installed")) << missing.output;
    EXPECT_TRUE(contains(missing.output, "corvaline-torch.so")) << missing.output;
    EXPECT_TRUE(contains(missing.output, (dir / "bin").string())) << missing.output;
    EXPECT_TRUE(contains(missing.output, (dir / "lib" / "corvaline").string())) << missing.output;
    EXPECT_TRUE(contains(missing.output, "Sidon CPU Reference")) << missing.output;
    EXPECT_FALSE(fs::exists(dir / "model.pt"));

    // Not a shared object: refused with the file named, the loader's reason on a second line.
    writeFile(dir / "bin" / "corvaline-torch.so", "not a library");
    const ShellResult broken = runShell(command);
    EXPECT_EQ(broken.status, 1);
    EXPECT_TRUE(contains(broken.output, "could not be loaded")) << broken.output;
    EXPECT_TRUE(contains(broken.output, (dir / "bin" / "corvaline-torch.so").string()))
        << broken.output;

    // A shared object that is not the runtime (no entry point).
    fs::remove(dir / "bin" / "corvaline-torch.so");
    const ShellResult foreign = runShell(
        "f=$(ldd /bin/sh | sed -n 's/.*=> \\(.*libc\\.so[^ ]*\\).*/\\1/p'); "
        "cp \"$f\" " +
        shellQuote((dir / "bin" / "corvaline-torch.so").string()) + " && " + command);
    EXPECT_EQ(foreign.status, 1);
    EXPECT_TRUE(contains(foreign.output, "does not belong to this version")) << foreign.output;

    // An installed layout: <prefix>/bin and <prefix>/lib/corvaline.
    fs::remove(dir / "bin" / "corvaline-torch.so");
    fs::create_directories(dir / "lib" / "corvaline");
    fs::copy_file(paths::executableFolder() / ModelRuntime::moduleFileName,
                  dir / "lib" / "corvaline" / ModelRuntime::moduleFileName);
    const ShellResult installed = runShell(command);
    EXPECT_EQ(installed.status, 0) << installed.output;
    EXPECT_TRUE(contains(installed.output, "torch-after=1")) << installed.output;
}

TEST(ModelRuntimeModule, CommandsThatRunNoModelNeverMapLibtorch) {
    TempDir dir;
    writeWav(dir / "short.wav", 4800);
    // The dynamic loader lists every object it opens, dlopen included.
    for (const std::string& args :
         {std::string("--help"), "info " + shellQuote((dir / "short.wav").string())}) {
        const ShellResult run =
            runShell("LD_DEBUG=files " + shellQuote(cliProgram().string()) + " " + args + " 2>&1");
        EXPECT_EQ(run.status, 0) << args << "\n" << run.output.substr(0, 2000);
        EXPECT_TRUE(contains(run.output, "calling init")) << "LD_DEBUG gave nothing";
        EXPECT_FALSE(contains(run.output, "libtorch")) << args;
        EXPECT_FALSE(contains(run.output, "corvaline-torch")) << args;
    }
}

TEST(TorchScriptModels, InputsWithDefaultsMayBeLeftOut) {
    TempDir dir;
    ModelRuntime::saveScriptModule(
        "def forward(self, input_features, attention_mask: Optional[Tensor] = None, "
        "scale: float = 2.0):\n"
        "    if attention_mask is None:\n"
        "        return input_features * scale\n"
        "    return input_features * attention_mask\n",
        dir / "masked.pt");
    const auto model = ModelRuntime::load(dir / "masked.pt");
    EXPECT_EQ(model->inputNames(), std::vector<std::string>{"input_features"});
    EXPECT_EQ(model->optionalInputNames(), (std::vector<std::string>{"attention_mask", "scale"}));

    const Tensor x = Tensor::float32({3}, {1.0f, 2.0f, 3.0f});
    const auto defaults = model->predict({{"input_features", x}}, "y");
    ASSERT_NE(defaults.tensor("y"), nullptr);
    EXPECT_EQ(defaults.tensor("y")->element(2), 6.0);

    // A given optional input is used, even when an earlier one is left out.
    const auto masked = model->predict(
        {{"input_features", x}, {"attention_mask", Tensor::float32({3}, {0.0f, 1.0f, 0.5f})}}, "y");
    EXPECT_EQ(masked.tensor("y")->element(0), 0.0);
    EXPECT_EQ(masked.tensor("y")->element(2), 1.5);

    // The one input without a default is still required, and named when missing.
    try {
        model->predict({{"attention_mask", x}}, "y");
        ADD_FAILURE() << "a missing required input was accepted";
    } catch (const LibraryError& error) {
        EXPECT_TRUE(contains(error.what(), "\"input_features\"")) << error.what();
    }
}

TEST(TorchScriptModels, ReferenceDecoderWithAnOptionalLengthStillTakesOneInput) {
    TempDir dir;
    // [1, 1024, T] -> [1, 1, 960 T], with an optional second input like newer exports have.
    ModelRuntime::saveScriptModule(
        "def forward(self, x, lengths: Optional[Tensor] = None):\n"
        "    return x.sum(1, keepdim=True).repeat_interleave(960, dim=2)\n",
        dir / "decoder.pt");
    const ReferenceVocoder vocoder(ModelRuntime::load(dir / "decoder.pt"), 2 * 960 - 26);
    std::vector<float> rows(2 * 1024, 0.001f);
    const auto out = vocoder.predict({{"features", Tensor::float32({1, 2, 1024}, rows)}}, "audio");
    ASSERT_NE(out.tensor("audio"), nullptr);
    EXPECT_EQ(out.tensor("audio")->count(), 2 * 960 - 26);
}

TEST(TorchScriptModels, UnreadableArchivesNameTheCauseAndWhatToDo) {
    TempDir dir;
    const auto fresh = [&](const std::string& name) {
        const fs::path file = dir / name;
        ModelRuntime::saveScriptModule("def forward(self, x):\n    return x + 1.0\n", file);
        return file;
    };

    // A file format newer than this runtime reads.
    const fs::path newer = fresh("Sidon-Predictor.pt");
    rewriteArchiveEntry(newer, "/version", "b'99\\n'");
    std::string text = failureText([&] { ModelRuntime::load(newer); });
    EXPECT_TRUE(contains(text, "\u201cSidon-Predictor.pt\u201d")) << text;
    EXPECT_TRUE(contains(text, "version 99")) << text;
    EXPECT_TRUE(contains(text, "\u201cSidon CPU Reference\u201d")) << text;
    EXPECT_EQ(text.find('\n'), std::string::npos) << "no runtime text on its own lines: " << text;

    // An operation this runtime does not have.
    const fs::path unknownOp = fresh("Sidon-Vocoder.pt");
    rewriteArchiveEntry(unknownOp, ".py",
                        "old.replace(b'torch.add(x, 1.', b'torch.corvaline_future_op(x, 1.')");
    text = failureText([&] { ModelRuntime::load(unknownOp); });
    EXPECT_TRUE(contains(text, "aten::corvaline_future_op")) << text;
    EXPECT_TRUE(contains(text, "Sidon CPU Reference")) << text;
    // compile() reads the package the same way.
    text = failureText([&] { ModelRuntime::compile(unknownOp, dir / "compiled.pt"); });
    EXPECT_TRUE(contains(text, "aten::corvaline_future_op")) << text;
    EXPECT_FALSE(fs::exists(dir / "compiled.pt"));

    // A damaged download is not a version problem.
    const fs::path damaged = fresh("damaged.pt");
    const std::string bytes = readFile(damaged);
    writeFile(damaged, bytes.substr(0, bytes.size() / 2));
    text = failureText([&] { ModelRuntime::load(damaged); });
    EXPECT_TRUE(contains(text, "\u201cdamaged.pt\u201d is damaged")) << text;
    EXPECT_FALSE(contains(text, "Sidon CPU Reference")) << text;

    text = failureText([&] { ModelRuntime::load(dir / "absent.pt"); });
    EXPECT_TRUE(contains(text, "\u201cabsent.pt\u201d is missing")) << text;
}
