#include "audiocore/install/Pins.hpp"

namespace corvaline::pins {

namespace {

constexpr const char* referenceBase = "https://huggingface.co/sarulab-speech/sidon-v0.1/resolve/";
constexpr const char* referenceRevision = "b3b02d8bbd55fdbc410e6e46e76ef95ace4fbf52";
constexpr const char* predictorChecksum =
    "fd9abc906a9048b3c047bd3d246a25f6485d09c2d6bb85e098f527f844efc019";
constexpr const char* decoderChecksum =
    "34dcc80fab75bd1336369ba5b2063f6da475887aa824db94b495c4059c5fdea4";
constexpr std::int64_t predictorBytes = 795498929;
constexpr std::int64_t decoderBytes = 209824877;

SidonSource reference() {
    return {referenceBase,
            referenceRevision,
            "/",
            {{"feature_extractor_cpu.pt", predictorBytes, predictorChecksum, ""},
             {"decoder_cpu.pt", decoderBytes, decoderChecksum, ""}}};
}

// Without Core ML the in-process engine runs the reference repository's TorchScript
// checkpoints through libtorch, stored under the names the engine loads.
SidonSource torchScriptInProcess() {
    return {referenceBase,
            referenceRevision,
            "/",
            {{"Sidon-Predictor.pt", predictorBytes, predictorChecksum, "feature_extractor_cpu.pt"},
             {"Sidon-Vocoder.pt", decoderBytes, decoderChecksum, "decoder_cpu.pt"}}};
}

SidonSource coreMLInProcess() {
    const char* root = "Sidon-Predictor.mlpackage/";
    const char* vocoder = "Sidon-Vocoder.mlpackage/";
    return {// The Core ML conversion's repository address is supplied by the macOS build.
            "",
            "2114fb771ebce9ae929b8cb93c08e75b7d149901",
            "/fp16/",
            {{std::string(root) + "Data/com.apple.CoreML/model.mlmodel", 209015,
              "6b2ee496ca399451fd8c1360c97b1976301f406dfa87c0aa59c4a868ef2fbbf9", ""},
             {std::string(root) + "Data/com.apple.CoreML/weights/weight.bin", 642133952,
              "de80298709bf3a41dda4fbe2263f9ce88e00b81d790adba1760590a4b3afdfc2", ""},
             {std::string(root) + "Manifest.json", 617,
              "91fda9c1a55d8fc9659a511f28d6f08867cb51c190306143205517782532f4b8", ""},
             {std::string(vocoder) + "Data/com.apple.CoreML/model.mlmodel", 97258,
              "a124270a84d3570575e43d66260600526f92b8a80f49eead3e8053e4a6ec407d", ""},
             {std::string(vocoder) + "Data/com.apple.CoreML/weights/weight.bin", 104899040,
              "90bb3483aa8fec62a366eac787936b7699f31d13b3a629b6ec1b84bd678c4f25", ""},
             {std::string(vocoder) + "Manifest.json", 617,
              "523ea654bb5dd2dc61120c8fa18d135473bf32fc2f991f97f340d9076acd85a1", ""}}};
}

constexpr const char* deepFilterRelease =
    "https://github.com/Rikorose/DeepFilterNet/releases/download/v0.5.6/";
constexpr const char* deepFilterModels =
    "https://github.com/Rikorose/DeepFilterNet/raw/v0.5.6/models/";
constexpr const char* deepFilter3 =
    "c94d91f70911001c946e0fabb4aa9adc37045f45a03b56008cb0c8244cb63616";
constexpr const char* deepFilter2 =
    "412e81d8d1779b8f925ac4b53472655a9f866c4af73dbf930ab587359f631628";
const PinnedFile demucs{
    "https://dl.fbaipublicfiles.com/demucs/hybrid_transformer/955717e8-8726e21a.th", "8726e21a", 0};
constexpr const char* pypi = "https://pypi.org/simple";

std::vector<PlatformPins> makeTable() {
    std::vector<PlatformPins> rows;

    PlatformPins linux64;
    linux64.name = "linux-x86_64";
    linux64.machine = "x86_64";
    linux64.sidonInProcess = torchScriptInProcess();
    linux64.sidonReference = reference();
    linux64.python = {
        "https://github.com/astral-sh/python-build-standalone/releases/download/20260510/"
        "cpython-3.11.15%2B20260510-x86_64-unknown-linux-gnu-install_only.tar.gz",
        "14b5843a3492925dab6fdb7cca7d09af83ddf1fe2851f72cf9b1edc8ed2b1db7", 48850850};
    linux64.packageIndex = pypi;
    // The index's default Linux torch wheels pull in the GPU stack (gigabytes); the runtime
    // only ever runs on the CPU.
    linux64.torchIndex = "https://download.pytorch.org/whl/cpu";
    linux64.torchVariant = "+cpu";
    linux64.deepFilter = {
        std::string(deepFilterRelease) + "deep-filter-0.5.6-x86_64-unknown-linux-musl",
        "70775e251eee44c0f2451a1e833326cf8bcbbe304d3e7cd12851e6fce72ef7da", 0};
    linux64.deepFilterModels = deepFilterModels;
    linux64.deepFilter3Checksum = deepFilter3;
    linux64.deepFilter2Checksum = deepFilter2;
    linux64.demucsCheckpoint = demucs;
    rows.push_back(linux64);

    // No interpreter archive or DeepFilterNet program is pinned for 64-bit ARM Linux yet;
    // their empty checksums never verify, so nothing unpinned is ever installed.
    PlatformPins linuxArm = linux64;
    linuxArm.name = "linux-aarch64";
    linuxArm.machine = "aarch64";
    linuxArm.python = {};
    linuxArm.deepFilter = {};
    linuxArm.torchIndex = "";  // the index's ARM Linux wheels are CPU-only
    linuxArm.torchVariant = "";
    rows.push_back(linuxArm);

    PlatformPins mac;
    mac.name = "macos-arm64";
    mac.machine = "arm64";
    mac.sidonInProcess = coreMLInProcess();
    mac.sidonReference = reference();
    mac.python = {
        "https://github.com/astral-sh/python-build-standalone/releases/download/20261009/"
        "cpython-3.11.17%2B20261009-aarch64-apple-darwin-install_only.tar.gz",
        "7b6068989d9b6a0e2a883352b7d0d141ce8670a61360bf4ddabac0e046a08e10", 0};
    mac.packageIndex = pypi;
    mac.deepFilter = {std::string(deepFilterRelease) + "deep-filter-0.5.6-aarch64-apple-darwin",
                      "4601e7f4e4c03e59a4c5b5000216ef3add3e808799cfccd95e14e83ea4611081", 0};
    mac.deepFilterModels = deepFilterModels;
    mac.deepFilter3Checksum = deepFilter3;
    mac.deepFilter2Checksum = deepFilter2;
    mac.demucsCheckpoint = demucs;
    rows.push_back(mac);
    return rows;
}

}  // namespace

const std::vector<PlatformPins>& table() {
    static const std::vector<PlatformPins> rows = makeTable();
    return rows;
}

const PlatformPins& current() {
#if defined(__APPLE__)
    const char* name = "macos-arm64";
#elif defined(__aarch64__)
    const char* name = "linux-aarch64";
#else
    const char* name = "linux-x86_64";
#endif
    for (const auto& row : table()) {
        if (row.name == name) return row;
    }
    return table().front();
}

}  // namespace corvaline::pins
