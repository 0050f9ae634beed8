// The lifetime operand of sessreap, in minutes.
#pragma once

#include <string>

// Used whenever the operand is unusable.
constexpr int DEFAULT_LIFETIME_MINUTES = 24;
// The largest lifetime whose age limit in seconds (lifetime * 60) still fits
// a signed 32-bit integer: 35791394 * 60 = 2147483640.
constexpr int MAX_LIFETIME_MINUTES = 35791394;

// Reads a lifetime: an optional sign and decimal digits only, in the range
// 1 to MAX_LIFETIME_MINUTES. False, with `minutes` unchanged, for anything
// else.
bool lifetime_of(const std::string& text, int& minutes);

// Converts the operand to minutes as lifetime_of does. Anything else writes
// a warning to std::clog that quotes the operand as given and yields the
// default.
int lifetime_from_operand(const std::string& operand);
