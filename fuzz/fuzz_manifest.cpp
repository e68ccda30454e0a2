// Model installation manifests: a list of (path, size, checksum, remote name) rows. The check
// must refuse every manifest that could place a file outside the model and cache folders
// before anything is fetched, and a manifest it accepts only ever names files inside them.
//
// Input: rows separated by line feeds, fields by tabs: path, bytes (decimal), checksum and an
// optional remote name.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSupport.hpp"
#include "audiocore/install/SidonAssets.hpp"
#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/platform/Cancellation.hpp"

using namespace corvaline;
namespace fs = std::filesystem;

namespace {

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    for (;;) {
        const size_t at = text.find(separator);
        parts.push_back(text.substr(0, at));
        if (at == std::string_view::npos) return parts;
        text.remove_prefix(at + 1);
    }
}

std::vector<SidonAssets::Asset> parse(std::string_view text) {
    std::vector<SidonAssets::Asset> assets;
    for (const std::string_view row : split(text, '\n')) {
        const auto fields = split(row, '\t');
        SidonAssets::Asset asset;
        asset.path = std::string(fields[0]);
        if (fields.size() > 1) {
            int64_t bytes = 0;
            for (const char c : fields[1].substr(0, 18)) {
                if (c == '-') bytes = -bytes;
                if (c >= '0' && c <= '9') bytes = bytes * 10 + (c - '0');
            }
            asset.bytes = bytes;
        }
        if (fields.size() > 2) asset.checksum = std::string(fields[2]);
        if (fields.size() > 3) asset.remotePath = std::string(fields[3]);
        assets.push_back(std::move(asset));
    }
    return assets;
}

/// True when `inner`, taken lexically, lies inside `outer` (or is `outer` itself).
bool inside(const fs::path& outer, const fs::path& inner) {
    const fs::path normal = inner.lexically_normal();
    auto o = outer.begin();
    auto i = normal.begin();
    for (; o != outer.end(); ++o, ++i) {
        if (i == normal.end() || *i != *o) return false;
    }
    return true;
}

struct Fetched {};  // stops the installation at its first fetch, before any file is written

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto assets = parse(std::string_view(reinterpret_cast<const char*>(data), size));
    const bool valid = SidonAssets::isValidManifest(assets);
    const fs::path folder = "/nonexistent/corvaline-fuzz/Models/Sidon";
    const fs::path cache = "/nonexistent/corvaline-fuzz/Cache";
    if (valid) {
        for (const auto& asset : assets) {
            const fs::path path(asset.path);
            if (path.is_absolute() || asset.bytes < 1 || asset.checksum.size() != 64)
                __builtin_trap();
            if (!inside(folder, folder / path) || !inside(cache, cache / path)) __builtin_trap();
        }
    }
    const SidonAssets::AssetFetch fetch = [&](const SidonAssets::Asset& asset,
                                              const fs::path& destination, const ProgressCallback&,
                                              std::stop_token) {
        // Nothing is fetched for a manifest the check refuses, and only into the cache.
        if (!valid) __builtin_trap();
        if (!inside(cache, destination)) __builtin_trap();
        if (asset.path.empty()) __builtin_trap();
        throw Fetched{};
    };
    try {
        SidonAssets::install(folder, cache, assets, "revision", {}, {}, fetch);
        if (!assets.empty() && valid) __builtin_trap();  // the fetch always stops it
    } catch (const Fetched&) {
        if (!valid) __builtin_trap();
    } catch (const AudioFailure& failure) {
        if (valid || std::string_view(failure.what()) != SidonAssets::invalidManifestMessage)
            fuzz::finding("fuzz_manifest", std::string("unexpected refusal: ") + failure.what());
    } catch (const std::exception& error) {
        // An empty valid manifest goes on to stage into the (missing) folder: a file error.
        if (!(valid && assets.empty())) fuzz::unexpected("fuzz_manifest", error);
    }
    return 0;
}
