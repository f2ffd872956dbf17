#pragma once
// "vca": the product of two signals. Descriptor "%f %d %63s".
#include <string_view>

struct t_module;
t_module* vca_create(std::string_view line);
