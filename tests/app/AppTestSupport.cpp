#include "AppTestSupport.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <thread>

#include "TestSupport.hpp"
#include "audiocore/files/AudioIO.hpp"
#include "audiocore/model/AudioBuffer.hpp"

namespace corvaline::app::test {
namespace {

// One QCoreApplication for the whole test program, made before the first test runs.
class QtEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        setenv("SDL_AUDIODRIVER", "dummy", 0);
        static int argc = 1;
        static char name[] = "test_app";
        static char* argv[] = {name, nullptr};
        app_ = new QCoreApplication(argc, argv);
    }
    void TearDown() override {
        delete app_;
        app_ = nullptr;
    }

  private:
    QCoreApplication* app_ = nullptr;
};

const auto* const environment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void spin(std::chrono::milliseconds duration) {
    const auto end = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < end) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void writeTone(const std::filesystem::path& path, int channels, double seconds, double rate,
               double amplitude) {
    auto writer = AudioIO::writer(path, rate, channels, 32);
    const auto total = int64_t(std::llround(seconds * rate));
    AudioBuffer block(channels, 4096);
    for (int64_t done = 0; done < total;) {
        const auto n = uint32_t(std::min<int64_t>(4096, total - done));
        for (int c = 0; c < channels; ++c) {
            float* samples = block.channel(c);
            const double frequency = 220.0 * (c + 1);
            for (uint32_t i = 0; i < n; ++i) {
                samples[i] =
                    float(amplitude * std::sin(2 * M_PI * frequency * double(done + i) / rate));
            }
        }
        block.setFrameLength(n);
        writer->write(block);
        done += n;
    }
    writer->close();
}

void writeConstant(const std::filesystem::path& path, int channels, double seconds, float value,
                   double rate) {
    auto writer = AudioIO::writer(path, rate, channels, 32);
    const auto total = int64_t(std::llround(seconds * rate));
    AudioBuffer block(channels, 4096);
    for (int c = 0; c < channels; ++c)
        std::fill_n(block.channel(c), 4096, value);
    for (int64_t done = 0; done < total;) {
        const auto n = uint32_t(std::min<int64_t>(4096, total - done));
        block.setFrameLength(n);
        writer->write(block);
        done += n;
    }
    writer->close();
}

void installIdentityEngine(const std::filesystem::path& root, const std::filesystem::path& calls) {
    std::filesystem::create_directories(root / "Runtime");
    std::filesystem::create_directories(root / "Models");
    corvaline::test::writeFile(root / "Models" / "DeepFilterNet3_onnx.tar.gz", "placeholder model");
    // deep-filter -m MODEL -D -a REDUCTION -o OUTPUT_FOLDER INPUT.wav
    corvaline::test::writeFile(root / "Runtime" / "deep-filter",
                               "#!/bin/sh\n"
                               "out=''; in=''\n"
                               "while [ $# -gt 0 ]; do\n"
                               "  case \"$1\" in\n"
                               "    -m|-a) shift 2 ;;\n"
                               "    -D) shift ;;\n"
                               "    -o) out=\"$2\"; shift 2 ;;\n"
                               "    *) in=\"$1\"; shift ;;\n"
                               "  esac\n"
                               "done\n"
                               "echo run >> " +
                                   corvaline::test::shellQuote(calls.string()) +
                                   "\n"
                                   "exec cp \"$in\" \"$out/$(basename \"$in\")\"\n",
                               true);
}

void StateFixture::SetUp() {
    setenv("TMPDIR", dir.path().c_str(), 1);
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    prepareModels();
    models = std::make_unique<ModelManager>(dir / "Models");
    state = std::make_unique<AppState>(models.get());
}

void StateFixture::TearDown() {
    state.reset();
    unsetenv("TMPDIR");
}

void StateFixture::importAndWait(const std::vector<std::filesystem::path>& files) {
    state->importURLs(files);
    ASSERT_TRUE(waitUntil([&] { return !state->busy(); }));
}

void StateFixture::importFile(const std::filesystem::path& file) {
    importAndWait({file});
    ASSERT_FALSE(state->error()) << state->error()->toStdString();
}

}  // namespace corvaline::app::test
