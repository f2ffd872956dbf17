// The settings file is outside our control (edited by hand, damaged by a full disk):
// any bytes must parse cleanly or be refused, and whatever parses must survive being
// written back and read again unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "framework/settings_store.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    KelSettingsValues values;
    if (!kel_settings_parse(text, values)) {
        if (!values.empty()) std::abort();
        return 0;
    }
    KelSettingsValues again;
    if (!kel_settings_parse(kel_settings_format(values), again) || again != values) std::abort();
    return 0;
}
