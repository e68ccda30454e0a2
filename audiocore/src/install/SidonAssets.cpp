#include "audiocore/install/SidonAssets.hpp"

#include <algorithm>
#include <cmath>
#include <system_error>

#include "audiocore/install/Pins.hpp"
#include "audiocore/install/VerifiedDownload.hpp"
#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/platform/Cancellation.hpp"
#include "audiocore/platform/WorkingFile.hpp"

namespace fs = std::filesystem;

namespace corvaline::SidonAssets {

namespace {

constexpr std::string_view kStagingPrefix = ".sidon-install-";

const pins::SidonSource& source(Variant variant) {
    const auto& row = pins::current();
    return variant == Variant::coreML ? row.sidonInProcess : row.sidonReference;
}

bool isSafeRelativePath(const std::string& path) {
    if (path.empty() || path.front() == '/') return false;
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        if (path.compare(start, end - start, "..") == 0 && end - start == 2) return false;
        start = end + 1;
    }
    return true;
}

}  // namespace

std::string freeSpaceMessage(Variant variant) {
    return std::string("Sidon needs ") + (variant == Variant::coreML ? "3" : "5") +
           " GB of free disk space for model and runtime preparation.";
}

const std::string& revision() {
    return source(Variant::coreML).revision;
}
const std::string& referenceRevision() {
    return source(Variant::reference).revision;
}
const std::vector<Asset>& manifest() {
    return source(Variant::coreML).manifest;
}
const std::vector<Asset>& referenceManifest() {
    return source(Variant::reference).manifest;
}
const std::string& revision(Variant variant) {
    return source(variant).revision;
}
const std::vector<Asset>& manifest(Variant variant) {
    return source(variant).manifest;
}

std::uint64_t requiredFreeSpace(Variant variant) {
    return variant == Variant::coreML ? 3000000000ULL : 5000000000ULL;
}

std::string downloadAddress(Variant variant, const Asset& asset) {
    const auto& s = source(variant);
    return s.baseAddress + s.revision + s.subfolder +
           (asset.remotePath.empty() ? asset.path : asset.remotePath);
}

bool isValidManifest(const std::vector<Asset>& assets) {
    return std::all_of(assets.begin(), assets.end(), [](const Asset& a) {
        return isSafeRelativePath(a.path) && a.bytes >= 1 && a.checksum.size() == 64;
    });
}

bool isInstalled(const fs::path& folder, const std::vector<Asset>& assets,
                 const std::string& revision) {
    if (!isValidManifest(assets)) return false;
    const auto stamp = installfiles::readSmallFile(folder / ".revision");
    if (!stamp || *stamp != revision) return false;
    for (const auto& asset : assets) {
        const fs::path file = folder / asset.path;
        std::error_code ec;
        if (!fs::is_regular_file(file, ec) || ec) return false;
        const auto size = fs::file_size(file, ec);
        if (ec || size != static_cast<std::uintmax_t>(asset.bytes)) return false;
    }
    return true;
}

bool isInstalled(const fs::path& folder, Variant variant) {
    return isInstalled(folder, manifest(variant), revision(variant));
}

void install(const fs::path& folder, const fs::path& cache, Variant variant,
             const Validation& validate, const ProgressCallback& progress, std::stop_token stop,
             const installfiles::CapacityQuery& capacity) {
    throwIfCancelled(stop);
    fs::create_directories(cache);
    if (capacity) {
        const auto available = capacity(cache);
        if (available && *available < requiredFreeSpace(variant)) {
            throw AudioFailure(freeSpaceMessage(variant));
        }
    }
    const AssetFetch fetch = [variant](const Asset& asset, const fs::path& destination,
                                       const ProgressCallback& report, std::stop_token token) {
        VerifiedDownload::fetch(downloadAddress(variant, asset), destination, asset.checksum,
                                report, token);
    };
    install(folder, cache, manifest(variant), revision(variant), validate, progress, fetch, stop);
}

void install(const fs::path& folder, const fs::path& cache, const std::vector<Asset>& assets,
             const std::string& revision, const Validation& validate,
             const ProgressCallback& progress, const AssetFetch& fetch, std::stop_token stop) {
    if (!isValidManifest(assets)) throw AudioFailure(invalidManifestMessage);

    double total = 0.0;
    for (const auto& asset : assets)
        total += static_cast<double>(asset.bytes);
    ProgressLimiter limiter(progress);

    double done = 0.0;
    for (const auto& asset : assets) {
        throwIfCancelled(stop);
        const double bytes = static_cast<double>(asset.bytes);
        const ProgressCallback report = [&limiter, done, bytes, total](double f) {
            f = std::clamp(std::isnan(f) ? 0.0 : f, 0.0, 1.0);
            limiter.report((done + f * bytes) / total);
        };
        fetch(asset, cache / asset.path, report, stop);
        done += bytes;
    }

    const fs::path parent = folder.parent_path().empty() ? fs::path(".") : folder.parent_path();
    fs::create_directories(parent);
    // The staging folder stays locked while this installation runs, so that only folders of
    // installations that were killed are swept away here (or by any other process).
    removeStaleWorkingFolders(parent, kStagingPrefix);
    WorkingFolder workingFolder(parent, kStagingPrefix);
    const fs::path staging = workingFolder.path();

    for (const auto& asset : assets) {
        throwIfCancelled(stop);
        const fs::path target = staging / asset.path;
        fs::create_directories(target.parent_path());
        fs::copy_file(cache / asset.path, target, fs::copy_options::overwrite_existing);
        if (fs::file_size(target) != static_cast<std::uintmax_t>(asset.bytes) ||
            VerifiedDownload::checksum(target, stop) != asset.checksum) {
            throw AudioFailure(verificationFailureMessage);
        }
    }

    if (validate) validate(staging, stop);
    installfiles::writeFileAtomically(staging / ".revision", revision);

    throwIfCancelled(stop);
    installfiles::replaceFolder(staging, folder);
    workingFolder.movedTo(folder);
    limiter.force(1.0);
}

}  // namespace corvaline::SidonAssets
