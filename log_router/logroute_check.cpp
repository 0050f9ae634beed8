// logroute-check: where logroute would append a line, and why, told
// before a change.
//
// usage: logroute-check [HOST [PORT [SSL_PORT]]]
//
// Reads /etc/vrk/vrk.conf and the virtual-hosts tree through logroute's own
// modules, and creates and writes nothing:
//   - with HOST, prints the file that a line of HOST and PORT (80 when not
//     given) would be appended to, on a line of its own, then why: the
//     domain that decided (the host's, a parent domain, or none, and then
//     the server-wide log), whether the port is an SSL port (443, or
//     SSL_PORT, the port given to logroute on its command line), and what
//     the open would do: append, create, or fail, with logroute's report;
//   - without operands, prints the two directories logroute takes from the
//     panel configuration, each as a vrk.conf line with where it came from.
// The problems of vrk.conf, which logroute keeps to itself, are printed on
// standard error. Exit status: 0, 1 when the line would be lost (the open
// fails or is refused), 2 for a usage error.

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "diag_log/diag_log.hpp"
#include "log_router/access_log_path.hpp"
#include "log_router/log_file.hpp"
#include "log_router/log_target.hpp"
#include "log_router/standard_streams.hpp"
#include "panel_config/panel_config.hpp"

namespace {

constexpr int EXIT_LOST = 1;
constexpr int EXIT_USAGE = 2;
constexpr const char* DEFAULT_PORT = "80";

// Every message of the configuration, whatever its priority, once: a
// missing file is tried again, and reported again, at each lookup.
void print_message(int, const char* format, ...) {
  static std::set<std::string> printed;
  char text[8192];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (!printed.insert(text).second) return;
  std::size_t length = std::strlen(text);
  std::fprintf(stderr, "%s%s", text, length > 0 && text[length - 1] == '\n' ? "" : "\n");
}

void print_setting(panel_config_var var, const char* name) {
  bool from_file = panel_config_cached(var) != nullptr;
  std::printf("%s %s\t# %s\n", name, panel_config_get(var),
              from_file ? PANEL_CONFIG_PATH : "built-in default");
}

void print_domain(const log_path_choice& choice, const char* host) {
  const char* vhosts = panel_config_get(HTTPD_VHOSTS_D);
  switch (choice.reason) {
    case log_path_reason::DOMAIN:
      std::printf("domain: %s, whose %s/system/%s has a logs directory\n", host, vhosts, host);
      break;
    case log_path_reason::PARENT_DOMAIN:
      std::printf("domain: %s, a parent domain of %s, whose %s/system/%s has a logs directory\n",
                  choice.domain, host, vhosts, choice.domain);
      break;
    case log_path_reason::DOMAIN_WITHOUT_LOGS:
      std::printf("domain: %s, whose %s/system/%s has no logs directory: the server-wide log\n",
                  choice.domain, vhosts, choice.domain);
      break;
    case log_path_reason::NO_DOMAIN:
      std::printf(
          "domain: none, no directory in %s/system for %s or a parent domain: "
          "the server-wide log\n",
          vhosts, host);
      break;
    case log_path_reason::HOST_REFUSED:
      std::printf("domain: none, the host name %s: the server-wide log\n",
                  host[0] == '\0' ? "is empty" : "holds '/'");
      break;
  }
}

int check_host(const char* host, const char* port, const char* extra_ssl_port) {
  log_target target;
  log_target_init(&target, extra_ssl_port, resolve_access_log_path);
  bool ssl = log_target_is_ssl_port(&target, port);
  log_path_choice choice;
  char* path = resolve_access_log_path_telling(host, ssl, &choice);
  bool domain_log =
      choice.reason == log_path_reason::DOMAIN || choice.reason == log_path_reason::PARENT_DOMAIN;
  std::printf("%s\n", path);
  print_domain(choice, host);
  std::printf("port: %s, %s\n", port,
              !ssl         ? "not an SSL port: access_log"
              : domain_log ? "an SSL port: access_ssl_log"
                           : "an SSL port, but the server-wide log has no SSL file");
  const char* why = nullptr;
  int found = log_file_check(path, &why);
  if (found > 0) std::printf("file: there, lines are appended to it\n");
  if (found == 0) std::printf("file: missing, the first line creates it\n");
  if (found < 0) std::printf("file: Lost access log lines: cannot open %s: %s\n", path, why);
  std::free(path);
  return found < 0 ? EXIT_LOST : 0;
}

}  // namespace

int main(int argc, char* argv[]) {
  diag_program_path = argv[0];
  if (standard_streams_open() != 0)
    diag_error_exit(EXIT_LOST, "Cannot open /dev/null for a closed standard stream: %s",
                    std::strerror(errno));
  diag_log_write = print_message;
  int first = argc > 1 && std::strcmp(argv[1], "--") == 0 ? 2 : 1;
  int operands = argc - first;
  bool option = operands > 0 && first == 1 && argv[1][0] == '-' && argv[1][1] != '\0';
  if (operands > 3 || option) {
    std::fputs("usage: logroute-check [HOST [PORT [SSL_PORT]]]\n", stderr);
    return EXIT_USAGE;
  }
  panel_config_load();  // as logroute: on failure the defaults serve
  int status = 0;
  if (operands == 0) {
    print_setting(HTTPD_VHOSTS_D, "HTTPD_VHOSTS_D");
    print_setting(HTTPD_LOG_D, "HTTPD_LOG_D");
  } else {
    status = check_host(argv[first], operands > 1 ? argv[first + 1] : DEFAULT_PORT,
                        operands > 2 ? argv[first + 2] : nullptr);
  }
  if (std::fflush(stdout) != 0) return EXIT_LOST;
  return status;
}
