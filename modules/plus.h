#pragma once
// "plus": the sum of n signals. Descriptor "%f %d %d %63s" (the number of inputs).
#include <string_view>

struct t_module;
t_module* plus_create(std::string_view line);
