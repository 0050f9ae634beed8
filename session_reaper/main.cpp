// sessreap: remove expired PHP session files that no running process holds open.
#include "session_reaper/command_line.hpp"

int main(int argc, char* argv[]) { return sessreap_main(argc, argv); }
