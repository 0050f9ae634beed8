/* Writes one logroute benchmark workload into a directory.
 *
 *   gen MIX LINES DIR
 *
 * MIX a: one virtual host; b: 50 virtual hosts in runs of 10 to 30 lines
 * (each run another host than the one before); c: 2 virtual hosts
 * alternating every line.  Every line is "<host>@@80@@" and a log line in
 * the combined format, about 200 bytes in all, different from line to line.
 *
 * DIR/tagged        the input of logroute: "<host>@@80@@<log line>"
 * DIR/split         the input of split-logfile: "<host> <log line>"
 * DIR/plain         the log lines alone, in order (cronolog's input)
 * DIR/hosts         the host names, one a line
 * DIR/changes       how many times the host changes from line to line,
 *                   the first line counted
 * DIR/expect/<host> what each host's access log must hold afterwards
 */
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#define MAX_HOSTS 50

static uint64_t rng_state = 0x9e3779b97f4a7c15ull;

static uint32_t next_random(void) {
  /* xorshift64*: fixed seed, the same workload every time. */
  rng_state ^= rng_state >> 12;
  rng_state ^= rng_state << 25;
  rng_state ^= rng_state >> 27;
  return (uint32_t)((rng_state * 0x2545f4914f6cdd1dull) >> 32);
}

static FILE* open_or_die(const char* dir, const char* name) {
  char path[4096];
  snprintf(path, sizeof path, "%s/%s", dir, name);
  FILE* f = fopen(path, "w");
  if (f == NULL) {
    fprintf(stderr, "gen: %s: %s\n", path, strerror(errno));
    exit(1);
  }
  static char* buffers[MAX_HOSTS + 8];
  static int used = 0;
  buffers[used] = malloc(1 << 16);
  setvbuf(f, buffers[used++], _IOFBF, 1 << 16);
  return f;
}

static void close_or_die(FILE* f) {
  if (ferror(f) || fclose(f) != 0) {
    fprintf(stderr, "gen: write failed\n");
    exit(1);
  }
}

static const char* const METHODS[] = {"GET", "GET", "GET", "POST", "HEAD"};
static const char* const PAGES[] = {"index.html",     "catalog/item", "blog/post",
                                    "static/app.css", "api/v1/cart",  "images/banner.jpg",
                                    "search",         "account/login"};
static const char* const AGENTS[] = {
    "Mozilla/5.0 (X11; Linux x86_64; rv:120.0) Gecko/20100101 Firefox/120.0",
    "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 Chrome/119.0", "curl/7.88.1",
    "Mozilla/5.0 (iPhone; CPU iPhone OS 17_1 like Mac OS X) Safari/604.1"};
static const int STATUSES[] = {200, 200, 200, 200, 304, 302, 404, 500};

/* One combined-format log line, newline included; returns its length. */
static int log_line(char* out, size_t size, unsigned long n, const char* host) {
  unsigned long second = n / 16;
  return snprintf(
      out, size,
      "%u.%u.%u.%u - - [08/Dec/2026:%02lu:%02lu:%02lu +0000] \"%s /%s?id=%07lu HTTP/1.1\" "
      "%d %u \"https://%s/\" \"%s\"\n",
      10 + next_random() % 240, next_random() % 256, next_random() % 256, 1 + next_random() % 254,
      (second / 3600) % 24, (second / 60) % 60, second % 60, METHODS[next_random() % 5],
      PAGES[next_random() % 8], n, STATUSES[next_random() % 8], next_random() % 100000, host,
      AGENTS[next_random() % 4]);
}

int main(int argc, char** argv) {
  if (argc != 4 || strlen(argv[1]) != 1 || strchr("abc", argv[1][0]) == NULL) {
    fprintf(stderr, "usage: gen a|b|c LINES DIR\n");
    return 2;
  }
  char mix = argv[1][0];
  unsigned long lines = strtoul(argv[2], NULL, 10);
  const char* dir = argv[3];
  int host_count = mix == 'a' ? 1 : mix == 'b' ? MAX_HOSTS : 2;

  char hosts[MAX_HOSTS][64];
  for (int i = 0; i < host_count; ++i) {
    if (mix == 'a')
      snprintf(hosts[i], sizeof hosts[i], "example.com");
    else
      snprintf(hosts[i], sizeof hosts[i], "site%02d.example.com", i + 1);
  }

  char expect_dir[4096];
  snprintf(expect_dir, sizeof expect_dir, "%s/expect", dir);
  if (mkdir(expect_dir, 0755) != 0 && errno != EEXIST) {
    fprintf(stderr, "gen: %s: %s\n", expect_dir, strerror(errno));
    return 1;
  }
  FILE* tagged = open_or_die(dir, "tagged");
  FILE* split = open_or_die(dir, "split");
  FILE* plain = open_or_die(dir, "plain");
  FILE* host_list = open_or_die(dir, "hosts");
  FILE* expect[MAX_HOSTS];
  for (int i = 0; i < host_count; ++i) {
    expect[i] = open_or_die(expect_dir, hosts[i]);
    fprintf(host_list, "%s\n", hosts[i]);
  }

  int host = 0, previous = -1;
  unsigned long run_left = 0, changes = 0;
  for (unsigned long n = 0; n < lines; ++n) {
    if (mix == 'c') {
      host = (int)(n % 2);
    } else if (mix == 'b' && run_left == 0) {
      host = (host + 1 + (int)(next_random() % (MAX_HOSTS - 1))) % MAX_HOSTS;
      run_left = 10 + next_random() % 21;
    }
    if (run_left > 0) --run_left;
    if (host != previous) ++changes;
    previous = host;
    char line[1024];
    int length = log_line(line, sizeof line, n, hosts[host]);
    fprintf(tagged, "%s@@80@@", hosts[host]);
    fprintf(split, "%s ", hosts[host]);
    fwrite(line, 1, (size_t)length, tagged);
    fwrite(line, 1, (size_t)length, split);
    fwrite(line, 1, (size_t)length, plain);
    fwrite(line, 1, (size_t)length, expect[host]);
  }

  close_or_die(tagged);
  close_or_die(split);
  close_or_die(plain);
  close_or_die(host_list);
  FILE* change_count = open_or_die(dir, "changes");
  fprintf(change_count, "%lu\n", changes);
  close_or_die(change_count);
  for (int i = 0; i < host_count; ++i) close_or_die(expect[i]);
  return 0;
}
