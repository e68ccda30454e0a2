#pragma once
// Delivery standards: the loudness targets broadcasters and platforms accept, as one table.
//
// A standard fixes the integrated loudness a programme must have (target ± tolerance), the
// highest true peak it may reach, and how its loudness range is to be reported. Integrated
// loudness is measured over the programme channels with every channel weighted 1.0, as the
// finishing chain's normalisation measures it.

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace corvaline {

struct DeliveryStandard {
    std::string_view id;               ///< command-line name, e.g. "ebu-r128"
    std::string_view name;             ///< display name, e.g. "EBU R 128"
    std::string_view unit;             ///< "LUFS" or "LKFS" (the same scale)
    double targetLUFS;                 ///< integrated loudness target
    double toleranceLU;                ///< accepted deviation either side of the target
    double maxTruePeakDBTP;            ///< highest true peak allowed
    std::optional<double> maxRangeLU;  ///< highest loudness range accepted, when one is set
    std::string_view rangeNote;        ///< how the loudness range is to be reported
};

/// Every known standard, in display order.
std::span<const DeliveryStandard> deliveryStandards();

/// The standard with this id or name. Case, spaces, dashes, dots, slashes and underscores are
/// ignored, so "EBU R 128", "ebu-r128" and "r128" find the same entry. None when unknown.
const DeliveryStandard* findDeliveryStandard(std::string_view name);

/// "ebu-r128, atsc-a85, …": the ids, for messages that list the choices.
std::string deliveryStandardIds();

}  // namespace corvaline
