#include "audiocore/delivery/DeliveryStandard.hpp"

#include <array>
#include <cctype>

namespace corvaline {

namespace {

// Targets, tolerances and ceilings as the standards publish them. The loudness range is a
// reporting requirement in all of them; only the platform figures suggest an upper bound.
constexpr std::array<DeliveryStandard, 5> kStandards{{
    {"ebu-r128", "EBU R 128", "LUFS", -23.0, 0.5, -1.0, std::nullopt,
     "reported; no limit (EBU Tech 3343 advises matching it to the programme genre)"},
    {"atsc-a85", "ATSC A/85", "LKFS", -24.0, 2.0, -2.0, std::nullopt,
     "reported for information; not regulated"},
    {"arib-tr-b32", "ARIB TR-B32", "LKFS", -24.0, 1.0, -1.0, std::nullopt,
     "reported for information; not regulated"},
    {"podcast", "Podcast", "LUFS", -16.0, 1.0, -1.0, std::nullopt,
     "reported; speech programmes usually stay under 8 LU"},
    {"streaming", "Streaming", "LUFS", -14.0, 1.0, -1.0, std::nullopt, "reported; no limit"},
}};

std::string folded(std::string_view text) {
    std::string out;
    for (char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (std::isalnum(u)) out.push_back(char(std::tolower(u)));
    }
    return out;
}

}  // namespace

std::span<const DeliveryStandard> deliveryStandards() {
    return kStandards;
}

const DeliveryStandard* findDeliveryStandard(std::string_view name) {
    const std::string key = folded(name);
    if (key.empty()) return nullptr;
    for (const DeliveryStandard& standard : kStandards) {
        if (key == folded(standard.id) || key == folded(standard.name)) return &standard;
    }
    // Common short forms.
    if (key == "r128" || key == "ebu") return &kStandards[0];
    if (key == "a85" || key == "atsc") return &kStandards[1];
    if (key == "trb32" || key == "arib") return &kStandards[2];
    return nullptr;
}

std::string deliveryStandardIds() {
    std::string out;
    for (const DeliveryStandard& standard : kStandards) {
        if (!out.empty()) out += ", ";
        out += standard.id;
    }
    return out;
}

}  // namespace corvaline
