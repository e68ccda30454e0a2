#include "audiocore/restoration/SidonRestoration.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <numbers>

#include "RestorationTestSupport.hpp"
#include "TestSupport.hpp"
#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/modelruntime/ReferenceVocoder.hpp"
#include "audiocore/platform/Cancellation.hpp"
#include "audiocore/platform/Errors.hpp"

using namespace corvaline;
namespace fs = std::filesystem;

namespace {

// Stand-in predictor: [1, 499, 160] -> [1, 499, 1024], each row a function of its input row.
const char* kPredictor = R"(
def forward(self, input_features):
    x = input_features
    return torch.cat([x, x, x, x, x, x, x[:, :, 0:64]], 2)
)";

// Stand-in decoders in the reference layout: [1, 1024, T] -> [1, 1, 960 T], every 960
// samples carrying the mean of one feature row, so each output stretch can be traced to its row.
std::string decoder(const std::string& tail) {
    return "def forward(self, x):\n"
           "    y = x.mean(1, keepdim=True).repeat_interleave(960, 2)\n"
           "    return " +
           tail + "\n";
}

// Features whose row r holds r / 1000 everywhere.
Tensor rowRamp() {
    std::vector<float> values(499 * 1024);
    for (int r = 0; r < 499; ++r) {
        std::fill_n(values.begin() + r * 1024, 1024, float(r) / 1000.0f);
    }
    return Tensor::float32({1, 499, 1024}, std::move(values));
}

class ModelFolder {
  public:
    explicit ModelFolder(const std::string& vocoderTail = "y") {
        ModelRuntime::saveScriptModule(kPredictor, dir / "Sidon-Predictor.pt");
        ModelRuntime::saveScriptModule(decoder(vocoderTail), dir / "Sidon-Vocoder.pt");
    }
    test::TempDir dir;
};

template <typename F>
void expectFailure(F&& action, const char* message) {
    try {
        action();
        FAIL() << "accepted, expected: " << message;
    } catch (const AudioFailure& failure) {
        EXPECT_STREQ(failure.what(), message);
    }
}

std::vector<fs::path> hiddenFiles(const fs::path& folder) {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().filename().string().front() == '.') found.push_back(entry.path());
    }
    return found;
}

}  // namespace

TEST(SidonRestoration, CompilesOnceAndLoadsTheCompiledCopyAfterwards) {
    ModelFolder models;
    const auto& dir = models.dir.path();
    { SidonRestoration first(dir); }
    EXPECT_TRUE(fs::exists(dir / "Sidon-Predictor.compiled.pt"));
    EXPECT_TRUE(fs::exists(dir / "Sidon-Vocoder.compiled.pt"));
    EXPECT_TRUE(hiddenFiles(dir).empty()) << "temporary compiled copy left behind";

    // With the packages destroyed, a second load can only succeed from the compiled copies.
    test::writeFile(dir / "Sidon-Predictor.pt", "not a model");
    test::writeFile(dir / "Sidon-Vocoder.pt", "not a model");
    SidonRestoration second(dir);
    const auto audio = second.decode(second.predict(std::vector<float>(160000, 0.01f)));
    EXPECT_EQ(audio.size(), 479014u);

    // Without a compiled copy the broken package is the runtime's error, and nothing is left.
    fs::remove(dir / "Sidon-Vocoder.compiled.pt");
    EXPECT_THROW(SidonRestoration{dir}, LibraryError);
    EXPECT_FALSE(fs::exists(dir / "Sidon-Vocoder.compiled.pt"));
    EXPECT_TRUE(hiddenFiles(dir).empty());
}

TEST(SidonRestoration, MissingModelsAndCancellation) {
    test::TempDir empty;
    try {
        SidonRestoration restoration(empty.path());
        FAIL() << "loaded from an empty folder";
    } catch (const LibraryError& error) {
        EXPECT_EQ(error.library(), "libtorch");
        EXPECT_FALSE(std::string(error.what()).empty());
    }
    EXPECT_TRUE(hiddenFiles(empty.path()).empty());

    // Predictor present, vocoder missing: the error of the second load comes out.
    ModelRuntime::saveScriptModule(kPredictor, empty / "Sidon-Predictor.pt");
    EXPECT_THROW(SidonRestoration{empty.path()}, LibraryError);
    EXPECT_TRUE(fs::exists(empty / "Sidon-Predictor.compiled.pt"));

    ModelFolder models;
    std::stop_source stop;
    stop.request_stop();
    EXPECT_THROW(SidonRestoration(models.dir.path(), stop.get_token()), Cancelled);
    EXPECT_FALSE(fs::exists(models.dir / "Sidon-Predictor.compiled.pt"));
}

TEST(SidonRestoration, PredictAndDecodeFollowTheTensorContract) {
    ModelFolder models;
    SidonRestoration restoration(models.dir.path());

    const auto features = restoration.predict(std::vector<float>(160000, 0.0f));
    EXPECT_EQ(features.shape(), (std::vector<int64_t>{1, 499, 1024}));
    expectFailure([&] { restoration.predict(std::vector<float>(159999)); },
                  "Sidon requires a ten-second context window.");

    // The reference decoder's 960 samples per row, cut to the window's 479014.
    const auto audio = restoration.decode(rowRamp());
    ASSERT_EQ(audio.size(), 479014u);
    for (size_t k = 0; k < audio.size(); k += 479) {
        ASSERT_NEAR(audio[k], float(k / 960) / 1000.0f, 1e-6) << "sample " << k;
    }
    std::stop_source stop;
    stop.request_stop();
    EXPECT_THROW(restoration.decode(rowRamp(), stop.get_token()), Cancelled);
    EXPECT_THROW(restoration.predict(std::vector<float>(160000), stop.get_token()), Cancelled);
}

TEST(SidonRestoration, VocoderOutputsOfEveryPrecisionAndLayout) {
    struct Case {
        const char* tail;
        const char* failure;  // nullptr: decodes to the row ramp
        double tolerance;
    };
    const Case cases[] = {
        {"y.half()", nullptr, 2e-4},                                  // widened
        {"torch.stack([y, y * 2.0], 3)[:, :, :, 0]", nullptr, 1e-6},  // strided
        {"y.double()", "Unsupported Sidon audio precision.", 0},
        {"y.int()", "Unsupported Sidon audio precision.", 0},
        {"y[:, :, 0:479013]", "Incompatible Sidon vocoder output.", 0},
        {"(y, y)", "Incompatible Sidon vocoder output.", 0},
        {"{'wave': y}", "Incompatible Sidon vocoder output.", 0},
        {"torch.log(y - 1.0)", "Sidon returned invalid audio. No export was written.", 0},
        {"(y * 1e6).half()", "Sidon returned invalid audio. No export was written.", 0},
        {"{'audio': torch.log(y - 1.0).half()}",
         "Sidon returned invalid audio. No export was written.", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tail);
        ModelFolder models(c.tail);
        SidonRestoration restoration(models.dir.path());
        if (c.failure) {
            expectFailure([&] { restoration.decode(rowRamp()); }, c.failure);
            continue;
        }
        const auto audio = restoration.decode(rowRamp());
        ASSERT_EQ(audio.size(), 479014u);
        for (size_t k = 0; k < audio.size(); k += 997) {
            ASSERT_NEAR(audio[k], float(k / 960) / 1000.0f, c.tolerance) << "sample " << k;
        }
    }
}

TEST(SidonRestoration, PredictorWithoutFeatures) {
    for (const char* body :
         {"return {'other': input_features}", "return (input_features, input_features)"}) {
        SCOPED_TRACE(body);
        test::TempDir dir;
        ModelRuntime::saveScriptModule(
            std::string("def forward(self, input_features):\n    ") + body + "\n",
            dir / "Sidon-Predictor.pt");
        ModelRuntime::saveScriptModule(decoder("y"), dir / "Sidon-Vocoder.pt");
        SidonRestoration restoration(dir.path());
        expectFailure([&] { restoration.predict(std::vector<float>(160000)); },
                      "Sidon predictor returned no speech features.");
    }
    // Careful needs the full feature shape before anything is stitched.
    test::TempDir dir;
    ModelRuntime::saveScriptModule(
        "def forward(self, input_features):\n"
        "    return torch.cat([input_features] * 6, 2)\n",
        dir / "Sidon-Predictor.pt");
    ModelRuntime::saveScriptModule(decoder("y"), dir / "Sidon-Vocoder.pt");
    test::writeTone(dir / "in.wav", 16000, 1, 16000);
    SidonRestoration restoration(dir.path());
    expectFailure(
        [&] { restoration.render(dir / "in.wav", dir / "out.wav", SidonQuality::careful); },
        "Sidon returned incompatible speech-feature dimensions.");
    // Standard hands the features to the vocoder as they are.
    EXPECT_NO_THROW(restoration.render(dir / "in.wav", dir / "out.wav", SidonQuality::standard));
}

TEST(SidonRestoration, CarefulWindowsMapToFeatureRows) {
    // First Careful window: 0.02 s before the file is row -1 at every common rate.
    for (double rate : {8000.0, 16000.0, 22050.0, 44100.0, 48000.0, 96000.0}) {
        const int64_t firstStart = -std::llround(0.02 * rate);
        EXPECT_EQ(SidonRestoration::featureRow(firstStart, rate), -1) << rate;
        EXPECT_EQ(SidonRestoration::featureRow(std::llround(4 * rate), rate), 200) << rate;
    }
    EXPECT_EQ(SidonRestoration::featureRow(441, 44100), 1);  // 10 ms: half a row rounds up
    EXPECT_EQ(SidonRestoration::featureRow(-441, 44100), -1);
}

TEST(SidonRestoration, RendersBothQualitiesToTheSourceLength) {
    ModelFolder models;
    SidonRestoration restoration(models.dir.path());
    const double rate = 22050;
    const int64_t frames = 9 * 22050 + 123;  // Standard: two windows; Careful: three
    std::vector<float> speech(static_cast<size_t>(frames));
    for (int64_t n = 0; n < frames; ++n) {
        speech[size_t(n)] = float(0.3 * std::sin(2 * std::numbers::pi * 180 * double(n) / rate) *
                                  std::sin(std::numbers::pi * double(n) / double(frames)));
    }
    test::writeMono(models.dir / "in.wav", rate, speech);
    for (auto quality : {SidonQuality::standard, SidonQuality::careful}) {
        std::vector<double> reported;
        restoration.render(models.dir / "in.wav", models.dir / "out.wav", quality,
                           [&](double f) { reported.push_back(f); });
        double outRate = 0;
        const auto out = test::readMono(models.dir / "out.wav", &outRate);
        EXPECT_EQ(outRate, rate);
        ASSERT_EQ(int64_t(out.size()), frames);
        for (float v : out)
            ASSERT_TRUE(std::isfinite(v));
        ASSERT_FALSE(reported.empty());
        EXPECT_EQ(reported.back(), 1.0);
        EXPECT_TRUE(std::is_sorted(reported.begin(), reported.end()));
    }
    test::writeTone(models.dir / "stereo.wav", rate, 2, 1000);
    expectFailure(
        [&] {
            restoration.render(models.dir / "stereo.wav", models.dir / "out.wav",
                               SidonQuality::careful);
        },
        "Sidon requires a nonempty mono channel.");
}

TEST(SidonRestoration, FloatsReadsPackedAndStridedTensors) {
    // Packed float16 is widened exactly.
    const std::vector<float> values{0.0f,           -1.5f,          65504.0f,
                                    6.1035156e-05f, 5.9604645e-08f, 0.33325195f};
    std::vector<uint16_t> bits;
    for (float v : values)
        bits.push_back(floatToHalf(v));
    EXPECT_EQ(SidonRestoration::floats(Tensor::float16({1, 6}, bits)), values);
    EXPECT_EQ(floatToHalf(1.0f), 0x3C00);
    EXPECT_EQ(floatToHalf(-2.0f), 0xC000);
    EXPECT_TRUE(std::isinf(halfToFloat(floatToHalf(70000.0f))));

    // A transposed view is read in logical order, whatever its element type.
    auto storage = std::make_shared<std::vector<int32_t>>(std::vector<int32_t>{1, 2, 3, 4, 5, 6});
    const Tensor matrix(ElementType::int32, {2, 3}, {3, 1}, storage->data(), storage);
    EXPECT_TRUE(matrix.isPacked());
    expectFailure([&] { SidonRestoration::floats(matrix); }, "Unsupported Sidon audio precision.");
    const Tensor transposed = matrix.transposed(0, 1);
    EXPECT_FALSE(transposed.isPacked());
    EXPECT_EQ(SidonRestoration::floats(transposed), (std::vector<float>{1, 4, 2, 5, 3, 6}));
    // Size-1 dimensions do not count against packing.
    const Tensor column(ElementType::int32, {1, 6, 1}, {99, 1, 42}, storage->data(), storage);
    EXPECT_TRUE(column.isPacked());

    auto bad = Tensor::float32({3}, {1.0f, std::numeric_limits<float>::infinity(), 0.0f});
    expectFailure([&] { SidonRestoration::floats(bad); },
                  "Sidon returned invalid audio. No export was written.");
}
