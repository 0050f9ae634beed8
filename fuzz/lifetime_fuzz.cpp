// libFuzzer target for sessreap's lifetime operand: whatever the text, the
// result is a lifetime the sweep can use, it is the value the text spells
// when the text is a plain in-range number, and the default otherwise, with
// exactly one warning line that quotes the text.
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>

#include "session_reaper/lifetime.hpp"

namespace {

// The accepted form, stated independently: at most one sign, then one or
// more ASCII digits and nothing else, with a value from 1 to the maximum.
bool plain_lifetime(const std::string& text, long long* value) {
  size_t i = (!text.empty() && (text[0] == '+' || text[0] == '-')) ? 1 : 0;
  if (i == text.size()) return false;
  long long v = 0;
  for (size_t j = i; j < text.size(); ++j) {
    if (text[j] < '0' || text[j] > '9') return false;
    v = v * 10 + (text[j] - '0');
    if (v > 100000000000LL) v = 100000000000LL;  // far past any accepted value
  }
  if (text[0] == '-') v = -v;
  *value = v;
  return v >= 1 && v <= MAX_LIFETIME_MINUTES;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Operands come from the argument vector, so they hold no NUL.
  std::string operand(reinterpret_cast<const char*>(data), size);
  operand = operand.substr(0, operand.find('\0'));

  std::ostringstream warning;
  std::streambuf* saved = std::clog.rdbuf(warning.rdbuf());
  int minutes = lifetime_from_operand(operand);
  std::clog.rdbuf(saved);

  long long expected = 0;
  if (plain_lifetime(operand, &expected)) {
    if (minutes != expected || !warning.str().empty()) abort();
  } else {
    std::string line = "lifetime_minutes must be a positive number, using default 24 instead of '" +
                       operand + "'\n";
    if (minutes != DEFAULT_LIFETIME_MINUTES || warning.str() != line) abort();
  }
  return 0;
}
