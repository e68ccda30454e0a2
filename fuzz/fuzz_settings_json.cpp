// Settings documents (--settings FILE.json) and assignments (--set field=value): every
// problem is a SettingsError naming the field.

#include <cstdint>
#include <string_view>

#include "FuzzSupport.hpp"
#include "audiocore/model/SettingsJSON.hpp"

using namespace corvaline;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const bool assignment = data[0] & 1;
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    try {
        if (assignment) {
            ProcessingSettings settings;
            SettingsJSON::assign(settings, text);
            (void)SettingsJSON::encode(settings);
        } else {
            const ProcessingSettings settings = SettingsJSON::decode(text);
            // A decoded document survives a round trip unchanged.
            if (!(SettingsJSON::decode(SettingsJSON::encode(settings)) == settings))
                fuzz::finding("fuzz_settings_json", "a decoded document does not round-trip");
        }
    } catch (const SettingsError&) {
    } catch (const std::exception& error) {
        fuzz::unexpected("fuzz_settings_json", error);
    }
    return 0;
}
