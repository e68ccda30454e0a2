#pragma once
// File-system steps shared by the installers: atomic writes, folder switches and free space.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace corvaline::installfiles {

/// Bytes available to an unprivileged user on the volume holding `folder`
/// (statvfs: f_bavail x f_frsize), or nothing when the volume reports no figure.
std::optional<std::uint64_t> availableCapacity(const std::filesystem::path& folder);

/// A free-space query; installers take one so that a test can stand in for the volume.
using CapacityQuery = std::function<std::optional<std::uint64_t>(const std::filesystem::path&)>;

/// Writes `text` to `path` through a working file in the same folder, flushed and renamed over
/// `path`: readers see the old content or the new one, never a partial file, and nothing is
/// left behind on any outcome. Throws FileError naming `path`.
void writeFileAtomically(const std::filesystem::path& path, const std::string& text);

/// Puts the folder `replacement` at `target`. When `target` exists the two are swapped in one
/// step (renameat2 with RENAME_EXCHANGE) and the old copy, now at `replacement`'s path, is
/// removed (removal errors ignored). Where the file system cannot swap, the old folder is
/// moved aside, the replacement moved in (moved back on failure) and the old copy removed.
/// When `target` does not exist, `replacement` is renamed to it. Old copies a kill left aside
/// (unlocked, untouched for a day) are removed first.
/// Throws FileError naming `target`; on failure `target` is unchanged.
void replaceFolder(const std::filesystem::path& replacement, const std::filesystem::path& target);

/// Removes a file or folder tree, ignoring every error.
void removeQuietly(const std::filesystem::path& path) noexcept;

/// Reads a whole small text file; nothing when it cannot be read.
std::optional<std::string> readSmallFile(const std::filesystem::path& path,
                                         std::uintmax_t limit = 4096);

}  // namespace corvaline::installfiles
