#include "session_reaper/lifetime.hpp"

#include <boost/lexical_cast.hpp>
#include <iostream>
#include <stdexcept>

bool lifetime_of(const std::string& text, int& minutes) {
  try {
    int value = boost::lexical_cast<int>(text);
    if (value < 1 || value > MAX_LIFETIME_MINUTES) throw std::out_of_range("Value is out of range");
    minutes = value;
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

int lifetime_from_operand(const std::string& operand) {
  int minutes;
  if (lifetime_of(operand, minutes)) return minutes;
  std::clog << "lifetime_minutes must be a positive number, using default "
            << DEFAULT_LIFETIME_MINUTES << " instead of '" << operand << "'\n";
  return DEFAULT_LIFETIME_MINUTES;
}
