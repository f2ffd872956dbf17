#pragma once
// "volume": the master volume of one channel. Descriptor "%f %d %f %d %63s"
// (default amplitude, an unused integer), or "%f %d %f %63s".
#include <string_view>

struct t_module;
t_module* volume_create(std::string_view line);
