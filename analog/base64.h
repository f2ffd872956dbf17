#pragma once
// Base64 with the standard alphabet and "=" padding. A scale written as Base64 is one
// blank-free token, so it travels inside the state text like any other value.
#include <string>
#include <string_view>

std::string base64_encode(std::string_view bytes);
// Strict: the length must be a multiple of four, padding only at the end, and every
// other character from the alphabet. False (out unchanged) on anything else.
bool base64_decode(std::string_view text, std::string& out);
