#pragma once
// "level": the output level meter that drives the panel's lights. Descriptor "%f %d %63s".
// Reports to its observer: lights 1..15 (0 or 1), 20 level and 22 peak (0..127, four
// steps per dB over the top 31.75 dB), 21 clip.
#include <string_view>

struct t_module;
t_module* level_create(std::string_view line);
