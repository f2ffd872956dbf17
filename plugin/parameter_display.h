#pragma once
// Texts the host shows for a parameter: the name variant that fits a length limit, and
// the value text of a module parameter by its display type.
//
// Threads: pure functions; they allocate (std::string) and so stay off the audio thread.
#include <string>
#include <string_view>

class Parameter;

// Walks the "\n"-separated variants from the longest: the first of at most n characters,
// else the last one cut to n characters.
std::string choose_name_variant(std::string_view name_text, std::size_t n);

// v is the value as the module uses it, k the integer part of the controller position.
// A display type without a text (above 22) gives the empty text.
std::string parameter_display_text(int display_type, float v, int k);

// The same for a module's parameter object.
std::string parameter_display_text(const Parameter& p);
