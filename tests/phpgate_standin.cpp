// Stand-in for a PHP CGI executable in phpgate's end-to-end tests. Records
// its process id, argument vector, environment and what its descriptors 0,
// 1 and 2 are in "/tmp/php-standin.record" (entries "P <pid>", "A <arg>",
// "E <var>", "F <link text or closed>", each ended by a NUL byte), copies
// standard input to standard output, writes one line to standard error and
// exits with the status in STANDIN_EXIT (0 when unset).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

extern char** environ;

static void record(FILE* out, char kind, const char* value) {
  fprintf(out, "%c %s", kind, value);
  fputc('\0', out);
}

int main(int argc, char* argv[]) {
  // Before anything is opened, which could take a closed one's place.
  char streams[3][64];
  for (int fd = 0; fd < 3; fd++) {
    char link[32];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, streams[fd], sizeof streams[fd] - 1);
    if (n < 0)
      strcpy(streams[fd], "closed");
    else
      streams[fd][n] = '\0';
  }
  FILE* out = fopen("/tmp/php-standin.record", "w");
  if (out == nullptr) return 120;
  char pid[32];
  snprintf(pid, sizeof pid, "%ld", static_cast<long>(getpid()));
  record(out, 'P', pid);
  for (int i = 0; i < argc; i++) record(out, 'A', argv[i]);
  for (char** var = environ; *var != nullptr; var++) record(out, 'E', *var);
  for (const char* stream : streams) record(out, 'F', stream);
  if (fclose(out) != 0) return 121;

  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, stdin)) > 0) fwrite(buffer, 1, n, stdout);
  fputs("stand-in stderr\n", stderr);
  const char* status = getenv("STANDIN_EXIT");
  return status != nullptr ? atoi(status) : 0;
}
