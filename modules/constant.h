#pragma once
// "constant": a fixed signal on one output. Descriptor "%f %d %f %63s" (the value).
#include <string_view>

struct t_module;
t_module* constant_create(std::string_view line);
