/* The least a router can do under logroute's rules: the system calls of a
 * key change at every change of host, on paths worked out in advance, one
 * write per run of lines of one host within a read, and the rotation check
 * once per read.
 *
 *   keyswitch VHOSTS_DIR HOST...  < tagged input
 *
 * At each change of host: stat "<VHOSTS_DIR>/system/<host>", stat its "logs"
 * directory, close the open file, and open "logs/access_log" as the rules
 * for hostile log directories require: the "logs" directory on its own
 * (O_PATH | O_NOFOLLOW, so that a link there is seen), the file in it with
 * O_WRONLY|O_CREAT|O_APPEND|O_NONBLOCK|O_NOCTTY|O_NOFOLLOW (mode 0644), the
 * directory closed, and an fstat of the file (its kind and identity).  After
 * each read: one stat of the open file's path (a rotation?).  The log lines
 * (the text after the two tags) of a run are moved together in the buffer
 * over the tags between them and written with one write (cheaper on tmpfs
 * than a writev of many small pieces).  When the host changes at every
 * line, that is per line exactly stat, stat, close, open, openat, close,
 * fstat, write.  The host of a line is picked among HOST... by comparing
 * names; there is no other parsing, allocation or checking.  Reads standard
 * input in 128 KiB pieces; lines must be shorter than that.
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#define BUFFER_SIZE (128 * 1024)
#define MAX_HOSTS 64

struct host {
  const char* name;
  size_t length;
  char* domain_dir;
  char* logs_dir;
  char* log_file;
};

/* The run gathered so far: run_start .. run_end in the buffer. */
static char* run_start = NULL;
static char* run_end = NULL;

static void write_run(int fd) {
  if (run_end != run_start && write(fd, run_start, (size_t)(run_end - run_start)) < 0) exit(1);
  run_start = run_end = NULL;
}

static void gather(const char* from, size_t length) {
  if (run_start == NULL) {
    run_start = run_end = (char*)from;
  } else if (from != run_end) {
    memmove(run_end, from, length);
  }
  run_end += length;
}

static char* join(const char* a, const char* b, const char* c) {
  size_t size = strlen(a) + strlen(b) + strlen(c) + 1;
  char* text = malloc(size);
  if (text == NULL) exit(1);
  snprintf(text, size, "%s%s%s", a, b, c);
  return text;
}

int main(int argc, char** argv) {
  if (argc < 3 || argc - 2 > MAX_HOSTS) {
    fprintf(stderr, "usage: keyswitch VHOSTS_DIR HOST...\n");
    return 2;
  }
  struct host hosts[MAX_HOSTS];
  int host_count = argc - 2;
  char* system_dir = join(argv[1], "/system/", "");
  for (int i = 0; i < host_count; ++i) {
    hosts[i].name = argv[i + 2];
    hosts[i].length = strlen(argv[i + 2]);
    hosts[i].domain_dir = join(system_dir, argv[i + 2], "");
    hosts[i].logs_dir = join(hosts[i].domain_dir, "/logs", "");
    hosts[i].log_file = join(hosts[i].logs_dir, "/access_log", "");
  }

  static char data[BUFFER_SIZE];
  size_t held = 0;
  int fd = -1;
  struct host* current = NULL;
  for (;;) {
    ssize_t n = read(STDIN_FILENO, data + held, sizeof data - held);
    if (n <= 0) break;
    struct stat st;
    if (current != NULL) stat(current->log_file, &st);
    held += (size_t)n;
    size_t start = 0;
    for (;;) {
      char* newline = memchr(data + start, '\n', held - start);
      if (newline == NULL) break;
      size_t end = (size_t)(newline - data) + 1;
      char* line = data + start;
      char* first = memmem(line, end - start, "@@", 2);
      char* second = first ? memmem(first + 2, (size_t)(data + end - first - 2), "@@", 2) : NULL;
      if (second != NULL) {
        size_t length = (size_t)(first - line);
        struct host* h = NULL;
        for (int i = 0; i < host_count && h == NULL; ++i)
          if (hosts[i].length == length && memcmp(hosts[i].name, line, length) == 0) h = &hosts[i];
        if (h != NULL && h != current) {
          write_run(fd);
          struct stat st;
          stat(h->domain_dir, &st);
          stat(h->logs_dir, &st);
          if (fd >= 0) close(fd);
          int dir = open(h->logs_dir, O_PATH | O_NOFOLLOW | O_CLOEXEC);
          fd = openat(
              dir, "access_log",
              O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC, 0644);
          close(dir);
          if (fd < 0 || fstat(fd, &st) != 0) return 1;
          current = h;
        }
        if (h != NULL) gather(second + 2, (size_t)(data + end - second - 2));
      }
      start = end;
    }
    write_run(fd);
    memmove(data, data + start, held - start);
    held -= start;
  }
  if (fd >= 0) close(fd);
  return 0;
}
