#pragma once
// Every pinned download address and digest, one row per platform. A pin is changed here and
// nowhere else; the installers and the model catalog read the row of the running platform.

#include <cstdint>
#include <string>
#include <vector>

#include "audiocore/install/SidonAssets.hpp"

namespace corvaline::pins {

/// One pinned file: where it comes from and what its SHA-256 must be (a full 64-digit value,
/// or a published digest prefix where that is all the publisher gives).
struct PinnedFile {
    std::string url;
    std::string checksum;
    std::int64_t bytes = 0;  ///< published size, 0 when not published
};

/// A model repository at a fixed revision.
struct SidonSource {
    std::string baseAddress;  ///< followed by the revision
    std::string revision;     ///< 40-hex git commit
    std::string subfolder;    ///< between the revision and the asset path ("/fp16/" or "/")
    std::vector<SidonAssets::Asset> manifest;
};

struct PlatformPins {
    std::string name;     ///< "linux-x86_64", "linux-aarch64", "macos-arm64"
    std::string machine;  ///< what Python's platform.machine() reports on this platform
    SidonSource sidonInProcess;
    SidonSource sidonReference;
    PinnedFile python;             ///< relocatable CPython 3.11 "install_only" archive
    std::string packageIndex;      ///< Python package index for pip
    std::string torchIndex;        ///< extra index with CPU-only torch wheels (empty: none)
    std::string torchVariant;      ///< local version of the torch wheels ("+cpu" or empty)
    PinnedFile deepFilter;         ///< DeepFilterNet 0.5.6 command-line program
    std::string deepFilterModels;  ///< base address of the model archives (+ file name)
    std::string deepFilter3Checksum;
    std::string deepFilter2Checksum;
    PinnedFile demucsCheckpoint;  ///< HTDemucs checkpoint; the checksum is a digest prefix
};

/// Every row of the table.
const std::vector<PlatformPins>& table();
/// The row of the platform this program was built for.
const PlatformPins& current();

}  // namespace corvaline::pins
