// The process-wide verbosity of sessreap: set once by -v, read everywhere.
#pragma once

extern bool verbose;
