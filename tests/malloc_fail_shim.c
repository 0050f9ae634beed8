/* A failing allocator for fault-injection tests, loaded with LD_PRELOAD.
 *
 * Counts the calls to malloc, calloc and realloc that the program makes once
 * its main function has started, and refuses the one numbered
 * VAREK_MALLOC_FAIL_AT (from 1), returning null with errno ENOMEM. With
 * VAREK_MALLOC_FAIL_MODE=from, that call and every later one are refused;
 * otherwise only that one. Each refusal appends "refused <n> <size>\n" to
 * the file named by VAREK_MALLOC_FAIL_REPORT, so a test knows whether its
 * count was reached. The variables (and LD_PRELOAD) are taken out of the
 * environment at start, so programs the tested one executes run unhindered.
 *
 * Every other call goes to the next allocator in line (the C library's, or
 * the sanitizer's when one is loaded).
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static void* (*next_malloc)(size_t);
static void* (*next_calloc)(size_t, size_t);
static void* (*next_realloc)(void*, size_t);
static void (*next_free)(void*);

static unsigned long fail_at; /* 0: refuse nothing */
static int fail_from;         /* refuse every call from fail_at on */
static unsigned long calls;   /* counted calls so far */
static int counting;          /* main has started */
static char report_path[512];

/* Memory handed out while the next allocator is still being looked up
 * (dlsym may allocate); never given back. */
static _Alignas(16) char bootstrap[16384];
static size_t bootstrap_used;

static int in_bootstrap(const void* block) {
  return (const char*)block >= bootstrap && (const char*)block < bootstrap + sizeof bootstrap;
}

static void* bootstrap_alloc(size_t size) {
  size = (size + 15) & ~(size_t)15;
  if (size > sizeof bootstrap - bootstrap_used) return NULL;
  void* block = bootstrap + bootstrap_used;
  bootstrap_used += size;
  return block;
}

static int resolving;

static void resolve(void) {
  if (next_malloc != NULL || resolving) return;
  resolving = 1;
  next_calloc = (void* (*)(size_t, size_t))dlsym(RTLD_NEXT, "calloc");
  next_realloc = (void* (*)(void*, size_t))dlsym(RTLD_NEXT, "realloc");
  next_free = (void (*)(void*))dlsym(RTLD_NEXT, "free");
  next_malloc = (void* (*)(size_t))dlsym(RTLD_NEXT, "malloc");
  resolving = 0;
}

static void append_decimal(char* out, size_t* at, unsigned long value) {
  char digits[24];
  int n = 0;
  do {
    digits[n++] = (char)('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (n > 0) out[(*at)++] = digits[--n];
}

static void report_refusal(unsigned long call, size_t size) {
  if (report_path[0] == '\0') return;
  char line[64];
  size_t at = 0;
  memcpy(line, "refused ", 8);
  at = 8;
  append_decimal(line, &at, call);
  line[at++] = ' ';
  append_decimal(line, &at, size);
  line[at++] = '\n';
  int saved = errno;
  int fd = open(report_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd >= 0) {
    ssize_t ignored = write(fd, line, at);
    (void)ignored;
    close(fd);
  }
  errno = saved;
}

/* True when this call is to be refused. */
static int refuse(size_t size) {
  if (!counting || fail_at == 0) return 0;
  unsigned long call = ++calls;
  if (call == fail_at || (fail_from && call > fail_at)) {
    report_refusal(call, size);
    errno = ENOMEM;
    return 1;
  }
  return 0;
}

void* malloc(size_t size) {
  resolve();
  if (next_malloc == NULL) return bootstrap_alloc(size);
  if (refuse(size)) return NULL;
  return next_malloc(size);
}

void* calloc(size_t count, size_t size) {
  resolve();
  if (next_calloc == NULL) {
    if (size != 0 && count > SIZE_MAX / size) return NULL;
    return bootstrap_alloc(count * size); /* static storage: already zero */
  }
  if (refuse(count * size)) return NULL;
  return next_calloc(count, size);
}

void* realloc(void* block, size_t size) {
  resolve();
  if (in_bootstrap(block) || next_realloc == NULL) {
    void* moved = malloc(size);
    if (moved != NULL && block != NULL) {
      size_t room = (size_t)(bootstrap + sizeof bootstrap - (char*)block);
      memcpy(moved, block, size < room ? size : room);
    }
    return moved;
  }
  if (refuse(size)) return NULL;
  return next_realloc(block, size);
}

void free(void* block) {
  if (block == NULL || in_bootstrap(block)) return;
  resolve();
  if (next_free != NULL) next_free(block);
}

/* Counting starts with main: what the loader and the start-up code
 * allocate is the same in every run and no concern of the program. */
typedef int (*main_function)(int, char**, char**);
static main_function real_main;

static int counted_main(int argc, char** argv, char** envp) {
  counting = 1;
  return real_main(argc, argv, envp);
}

int __libc_start_main(main_function main, int argc, char** argv, void (*init)(void),
                      void (*fini)(void), void (*rtld_fini)(void), void* stack_end) {
  typedef int (*start_function)(main_function, int, char**, void (*)(void), void (*)(void),
                                void (*)(void), void*);
  start_function next_start = (start_function)dlsym(RTLD_NEXT, "__libc_start_main");
  real_main = main;
  return next_start(counted_main, argc, argv, init, fini, rtld_fini, stack_end);
}

__attribute__((constructor)) static void read_settings(void) {
  resolve();
  const char* at = getenv("VAREK_MALLOC_FAIL_AT");
  if (at != NULL) fail_at = strtoul(at, NULL, 10);
  const char* mode = getenv("VAREK_MALLOC_FAIL_MODE");
  fail_from = mode != NULL && strcmp(mode, "from") == 0;
  const char* report = getenv("VAREK_MALLOC_FAIL_REPORT");
  if (report != NULL && strlen(report) < sizeof report_path) strcpy(report_path, report);
  unsetenv("VAREK_MALLOC_FAIL_AT");
  unsetenv("VAREK_MALLOC_FAIL_MODE");
  unsetenv("VAREK_MALLOC_FAIL_REPORT");
  unsetenv("LD_PRELOAD");
}
