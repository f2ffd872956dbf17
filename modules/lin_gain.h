#pragma once
// "lin_gain": a controllable gain, a at controller 0 and b at controller 128.
// Descriptor "%f %d %f %f %63s". Used for the key-follow and velocity-follow amounts.
#include <string_view>

struct t_module;
t_module* lin_gain_create(std::string_view line);
