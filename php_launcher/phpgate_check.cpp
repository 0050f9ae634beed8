// phpgate-check: what phpgate would do, told before a change goes live.
//
// usage: phpgate-check [INDEX [INI]]
//
// Reads the registry and the site's ini through phpgate's own modules, with
// the caller's credentials, and prints on standard error the messages that
// phpgate would log, instead of sending them to syslog:
//   - without operands, one line per handler of the registry, in document
//     order: its id, its path and whether that is an executable file
//     ("yes" or "no"), separated by tabs; status 0, or 1 when phpgate could
//     not read or parse the registry;
//   - with INDEX (VK_CUSTOM_PHP_CGI_INDEX) and INI (VK_CUSTOM_PHP_INI, unset
//     when not given), the command line phpgate would execute, each word
//     quoted for the shell; status 0; or phpgate's status: 1 when it would
//     refuse the ini or find no handler, 127 when the handler's executable
//     does not exist, 126 when the caller could not execute it.
// Status 2 for a usage error. Nothing is written but the two streams.

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "php_launcher/handler_lookup.hpp"
#include "php_launcher/launcher_log.hpp"
#include "php_launcher/php_launch.hpp"
#include "php_launcher/standard_streams.hpp"

namespace {

constexpr int EXIT_USAGE = 2;

void stderr_vwrite(const char* ident, const char* format, va_list args) {
  fprintf(stderr, "%s: ", ident);
  vfprintf(stderr, format, args);
  fputc('\n', stderr);
}

const launcher_log_sink LAUNCHER_STDERR = {stderr_vwrite};

// A registry text as one field: a backslash, a tab, a newline and the other
// control characters are written as C escapes.
void print_field(const char* text) {
  for (const unsigned char* c = reinterpret_cast<const unsigned char*>(text); *c != '\0'; c++) {
    if (*c == '\\')
      fputs("\\\\", stdout);
    else if (*c == '\t')
      fputs("\\t", stdout);
    else if (*c == '\n')
      fputs("\\n", stdout);
    else if (*c < 0x20 || *c == 0x7f)
      printf("\\x%02x", *c);
    else
      putchar(*c);
  }
}

// A word as the shell reads it back: as it is when it holds only characters
// no shell gives a meaning to, else in single quotes.
void print_shell_word(const char* word) {
  if (word[0] != '\0' && word[strspn(word,
                                     "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                     "0123456789_@%+=:,./-")] == '\0') {
    fputs(word, stdout);
    return;
  }
  putchar('\'');
  for (const char* c = word; *c != '\0'; c++)
    if (*c == '\'')
      fputs("'\\''", stdout);
    else
      putchar(*c);
  putchar('\'');
}

// What an exec of `path` would fail with, as far as a look at the file can
// tell (whether it is a program is not looked at): 0, or the errno.
int exec_fault(const char* path) {
  struct stat st;
  if (stat(path, &st) != 0) return errno;
  if (!S_ISREG(st.st_mode) || faccessat(AT_FDCWD, path, X_OK, AT_EACCESS) != 0) return EACCES;
  return 0;
}

int list_handlers() {
  handler_registry registry;
  if (handler_registry_load(&registry) != 0) return PHP_LAUNCH_REFUSED;
  for (size_t i = 0; i < registry.info->count; i++) {
    const php_handler& handler = registry.info->items[i];
    print_field(handler.id);
    putchar('\t');
    print_field(handler.path);
    printf("\t%s\n", exec_fault(handler.path) == 0 ? "yes" : "no");
  }
  handler_registry_free(&registry);
  return 0;
}

int show_launch(const char* handler_id, const char* ini_path) {
  php_launch launch;
  if (php_launch_prepare(&launch, handler_id, ini_path, nullptr) != 0) return launch.status;
  int error = exec_fault(launch.program);
  if (error != 0) {
    phpgate_log(PHPGATE_IDENT, "exec %s:%s", launch.program, strerror(error));
  } else {
    for (int i = 0; launch.argv[i] != nullptr; i++) {
      if (i > 0) putchar(' ');
      print_shell_word(launch.argv[i]);
    }
    putchar('\n');
  }
  free(launch.program);
  return error == 0 ? 0 : php_launch_exec_status(error);
}

}  // namespace

int main(int argc, char* argv[]) {
  if (standard_streams_open() != 0) {
    fprintf(stderr, "phpgate-check: /dev/null: %s\n", strerror(errno));
    return PHP_LAUNCH_REFUSED;
  }
  launcher_log = &LAUNCHER_STDERR;
  int first = argc > 1 && strcmp(argv[1], "--") == 0 ? 2 : 1;
  int operands = argc - first;
  bool option = operands > 0 && first == 1 && argv[1][0] == '-' && argv[1][1] != '\0';
  if (operands > 2 || option) {
    fputs("usage: phpgate-check [INDEX [INI]]\n", stderr);
    return EXIT_USAGE;
  }
  int status = operands == 0 ? list_handlers()
                             : show_launch(argv[first], operands == 2 ? argv[first + 1] : nullptr);
  if (fflush(stdout) != 0) return PHP_LAUNCH_REFUSED;
  return status;
}
