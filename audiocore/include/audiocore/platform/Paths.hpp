#pragma once
// Well-known folders of the running system.

#include <filesystem>

namespace corvaline::paths {

/// The user's data folder for Corvaline: $XDG_DATA_HOME/Corvaline, else
/// ~/.local/share/Corvaline. Not created here.
std::filesystem::path modelFolder();

/// The system temporary folder: $TMPDIR when set and non-empty, else /tmp.
std::filesystem::path temporaryFolder();

/// Folder holding the running executable (resolved through /proc/self/exe).
std::filesystem::path executableFolder();

/// A resource folder shipped with the program (for example "MXF"): the first of
/// <exe dir>/<name>, <exe dir>/../share/corvaline/<name> that exists; the first
/// candidate when none exists (so that the caller reports it as missing).
std::filesystem::path resourceFolder(const std::filesystem::path& name);

}  // namespace corvaline::paths
