#pragma once
// Delivery to a loudness standard from the command line: the options `render` and `loudness`
// share (--standard NAME, --report FILE), the check of a written file against the standard,
// and the batch render of many files into a folder.

#include <filesystem>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "CliSupport.hpp"
#include "audiocore/delivery/DeliveryStandard.hpp"
#include "audiocore/model/AudioInfo.hpp"

namespace corvaline::cli {

/// Exit status of a file that was written but does not comply with its standard.
inline constexpr int kNotCompliant = 3;

struct DeliveryOptions {
    const DeliveryStandard* standard = nullptr;   ///< --standard NAME
    std::optional<std::filesystem::path> report;  ///< --report FILE.json|FILE.html
};

/// Takes --standard and --report out of `args`. UsageError for an unknown standard (listing
/// the known ones) or a report name that is not .json/.html.
DeliveryOptions parseDeliveryOptions(Arguments& args);

/// A standard sets the normalisation target and the true-peak ceiling (a lower --ceiling
/// given by the user is kept) and makes the export verify that ceiling.
void applyStandard(const DeliveryOptions& delivery, SettingsOptions& options);

/// After a render: measures `output` over the processed channels, prints the verdict when a
/// standard is set, writes the report when one is asked for. Returns 0, or kNotCompliant.
int checkDelivery(const DeliveryOptions& delivery, const InputRecording& recording,
                  const std::filesystem::path& output, const std::vector<ChannelSettings>& channels,
                  std::stop_token cancel);

/// `loudness IN --standard NAME`: the compliance of the file as it is. Returns 0 or
/// kNotCompliant.
int reportCompliance(const DeliveryOptions& delivery, const InputRecording& recording,
                     const std::vector<ChannelSettings>& channels, bool asJSON,
                     std::stop_token cancel);

/// `render IN… -d OUTDIR`: every input rendered into OUTDIR by a child `render` each, `-j`
/// at a time. `argv` is the render command's whole argument list.
int runBatchRender(const std::vector<std::string>& argv);

/// True when the render arguments ask for a batch (-d OUTDIR).
bool isBatchRender(const std::vector<std::string>& argv);

}  // namespace corvaline::cli
