#include "modules/parameter.h"

#include "engine/text_stream.h"

bool parameter_parse_text(std::string_view text, float& out) {
    float v = 0;
    // "The number at the start of the text, 0 when there is none."
    if (!parse_float(text, v)) v = 0;
    if (!std::isfinite(v)) return false;
    out = v;
    return true;
}

std::string Parameter::display_text() const { return value_text(); }
