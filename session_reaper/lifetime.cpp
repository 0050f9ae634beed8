#include "session_reaper/lifetime.hpp"

#include <boost/lexical_cast.hpp>
#include <iostream>
#include <stdexcept>

int lifetime_from_operand(const std::string& operand) {
  try {
    int minutes = boost::lexical_cast<int>(operand);
    if (minutes < 1 || minutes > MAX_LIFETIME_MINUTES)
      throw std::out_of_range("Value is out of range");
    return minutes;
  } catch (const std::exception&) {
    std::clog << "lifetime_minutes must be a positive number, using default "
              << DEFAULT_LIFETIME_MINUTES << " instead of '" << operand << "'\n";
    return DEFAULT_LIFETIME_MINUTES;
  }
}
