#include "session_reaper/verbose.hpp"

bool verbose = false;
