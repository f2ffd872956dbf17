// Feeds arbitrary bytes to the .scl reader and to the scale-text reader behind
// "scala_scale". Neither may crash, an accepted scale must give a finite pitch table
// for every base note, and its text must read back to the same table.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "analog/tuning_scala.h"

namespace {

void require(bool ok) {
    if (!ok) __builtin_trap();
}

void require_finite_table(const CTuningScala& s, float table[kTuningNotes]) {
    s.fill_table(table);
    for (int i = 0; i < kTuningNotes; ++i) require(std::isfinite(table[i]));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    float a[kTuningNotes], b[kTuningNotes];

    CTuningScala scale;
    if (scale.read_scl(bytes, "dir\\fuzz.scl")) {
        require(scale.degree_count() <= kMaxScaleDegrees);
        for (int base : {0, 61, 127}) {
            scale.set_base_note(base);
            require_finite_table(scale, a);
            CTuningScala copy;
            TuningParameter out(&scale), in(&copy);
            in.set_value_text(out.value_text());
            require(copy.degrees() == scale.degrees() && copy.description() == "fuzz.scl");
            copy.fill_table(b);
            for (int i = 0; i < kTuningNotes; ++i) require(a[i] == b[i]);
        }
    }

    // The same bytes as a stored scale, decoded and as a Base64 token.
    CTuningScala text;
    if (!text.read_text(bytes)) require(text.degree_count() == 0);
    require_finite_table(text, a);
    TuningParameter token(&text);
    token.set_value_text(bytes);
    require_finite_table(text, a);
    return 0;
}
