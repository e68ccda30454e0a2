#pragma once
// Installation of the two Sidon model folders from their published repositories.
//
// Each variant is a fixed list of files (relative path, exact size, SHA-256) at a fixed
// repository revision. Files are fetched into a download cache with verified downloads,
// copied into a hidden staging folder beside the model folder, verified again, optionally
// validated by the caller, stamped with ".revision" and switched into place in one step.
// The model folder only ever changes by that final switch, so a failed, cancelled or
// interrupted installation leaves the previous installation (or nothing) in place.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <stop_token>
#include <string>
#include <vector>

#include "audiocore/install/InstallFiles.hpp"
#include "audiocore/platform/Progress.hpp"

namespace corvaline::SidonAssets {

/// The in-process model (`coreML`; TorchScript checkpoints on Linux) and the full-precision
/// reference checkpoints run by the Python bridge.
enum class Variant { coreML, reference };

/// One file of a model folder.
struct Asset {
    std::string path;        ///< relative to the model folder, "/"-separated
    std::int64_t bytes = 0;  ///< exact file size
    std::string checksum;    ///< SHA-256, 64 lower-case hex digits
    /// Name of the file in the repository when it differs from `path` (empty: same).
    std::string remotePath;

    bool operator==(const Asset&) const = default;
};

inline constexpr const char* invalidManifestMessage = "Invalid Sidon installation manifest.";
inline constexpr const char* verificationFailureMessage =
    "Sidon model verification failed. Retry the installation.";
/// "Sidon needs 3 GB ..." / "Sidon needs 5 GB ..." for a variant.
std::string freeSpaceMessage(Variant variant);

/// Revision of the in-process variant's repository on this platform.
const std::string& revision();
/// Revision of the reference repository.
const std::string& referenceRevision();
/// File list of the in-process variant on this platform.
const std::vector<Asset>& manifest();
/// File list of the reference variant.
const std::vector<Asset>& referenceManifest();

const std::string& revision(Variant variant);
const std::vector<Asset>& manifest(Variant variant);
/// Bytes of free space a variant's installation asks for (3 or 5 GB).
std::uint64_t requiredFreeSpace(Variant variant);
/// Download address of one asset of a variant: repository base + revision + the variant's
/// subfolder ("/fp16/" for the Core ML conversion, "/" otherwise) + the remote path.
std::string downloadAddress(Variant variant, const Asset& asset);

/// True when every asset has a non-empty path that neither starts with "/" nor has a ".."
/// component, a size of at least 1 byte and a 64-character checksum.
bool isValidManifest(const std::vector<Asset>& assets);

/// True exactly when folder/".revision" reads as `revision` and every asset exists at its
/// path as a regular file of exactly its size (checksums are not recomputed). Extra files do
/// not matter. An invalid manifest counts as not installed.
bool isInstalled(const std::filesystem::path& folder, const std::vector<Asset>& assets,
                 const std::string& revision);
bool isInstalled(const std::filesystem::path& folder, Variant variant);

/// Optional check of a complete staged folder before it is switched in; throws to refuse it.
using Validation = std::function<void(const std::filesystem::path& staging, std::stop_token)>;
/// Downloads one asset to `destination` with progress 0...1 (the general form's transport).
using AssetFetch = std::function<void(const Asset& asset, const std::filesystem::path& destination,
                                      const ProgressCallback& progress, std::stop_token stop)>;

/// Installs or replaces a variant at `folder`, caching downloads in `cache`.
/// Fails with freeSpaceMessage(variant) when the cache's volume reports less than 3 GB
/// (in-process) or 5 GB (reference) available; a volume without a figure does not block.
/// Other failures as the general form; verified downloads of each asset's address.
void install(const std::filesystem::path& folder, const std::filesystem::path& cache,
             Variant variant, const Validation& validate, const ProgressCallback& progress,
             std::stop_token stop = {},
             const installfiles::CapacityQuery& capacity = installfiles::availableCapacity);

/// The general form. Throws AudioFailure(invalidManifestMessage) before anything is fetched
/// when the manifest is malformed; AudioFailure(verificationFailureMessage) when a staged
/// copy has the wrong size or digest; the fetch's, the validation's and file errors
/// unchanged; Cancelled (checked before each fetch, each staged copy and the switch).
/// Progress: (bytes of assets already fetched + f x this asset's bytes) / total, then 1.0.
/// The staging folder (".sidon-install-" + UUID beside `folder`) is a WorkingFolder, locked
/// while the installation runs and removed on every outcome; those left by installations that
/// were killed are removed when the next one starts.
void install(const std::filesystem::path& folder, const std::filesystem::path& cache,
             const std::vector<Asset>& assets, const std::string& revision,
             const Validation& validate, const ProgressCallback& progress, const AssetFetch& fetch,
             std::stop_token stop = {});

}  // namespace corvaline::SidonAssets
