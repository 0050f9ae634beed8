// State shared by the diag_log sources; not part of the public interface.
#pragma once

#include <cstddef>

constexpr std::size_t DIAG_TEXT_SIZE = 64;  // trace id and ident, NUL included

extern int diag_options;
extern int diag_facility;
extern int diag_threshold;
extern const char* diag_destination;
extern char diag_trace_id[DIAG_TEXT_SIZE];
extern char diag_ident[DIAG_TEXT_SIZE];
