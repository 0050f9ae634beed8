/*
 * spawn: times the start of programs, one fork, execv and wait per run.
 *
 *	spawn [-f] rounds program ...
 *
 * Each round starts every program once, in an order shuffled afresh for
 * every round (from a fixed seed), so that all of them meet the same machine
 * load and none always follows the same program (a program run after a
 * heavy one finds colder caches). It
 * prints one line per round: for each program, in the order of the command
 * line, the wall-clock time of its run in microseconds, or with -f the
 * minor page faults of its process (all the images it went through). A run
 * that does not exit with status 0 ends spawn with an error: a candidate
 * that never reached its handler must not count as fast.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double run_once(char *path, int faults) {
  struct timespec t0, t1;
  struct rusage ru;
  char *argv[] = {path, NULL};
  pid_t pid;
  int status;

  clock_gettime(CLOCK_MONOTONIC, &t0);
  if ((pid = fork()) == -1) {
    perror("spawn: fork");
    exit(1);
  }
  if (pid == 0) {
    execv(path, argv);
    _exit(127);
  }
  if (wait4(pid, &status, 0, &ru) == -1) {
    perror("spawn: wait4");
    exit(1);
  }
  clock_gettime(CLOCK_MONOTONIC, &t1);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    fprintf(stderr, "spawn: %s ended with status 0x%x\n", path, status);
    exit(1);
  }
  if (faults) return ru.ru_minflt;
  return (t1.tv_sec - t0.tv_sec) * 1e6 + (t1.tv_nsec - t0.tv_nsec) / 1e3;
}

int main(int argc, char *argv[]) {
  double *took;
  long r, rounds;
  int faults = 0, i, n, *order;

  if (argc > 1 && strcmp(argv[1], "-f") == 0) {
    faults = 1;
    argc--;
    argv++;
  }
  if (argc < 3 || (rounds = strtol(argv[1], NULL, 10)) <= 0) {
    fprintf(stderr, "usage: spawn [-f] rounds program ...\n");
    return 2;
  }
  n = argc - 2;
  if ((took = calloc(n, sizeof *took)) == NULL || (order = calloc(n, sizeof *order)) == NULL) {
    perror("spawn");
    return 1;
  }
  for (i = 0; i < n; i++) order[i] = i;
  srand(1);
  for (r = 0; r < rounds; r++) {
    for (i = n - 1; i > 0; i--) { /* Fisher-Yates */
      int j = rand() % (i + 1), k = order[i];
      order[i] = order[j];
      order[j] = k;
    }
    for (i = 0; i < n; i++) took[order[i]] = run_once(argv[2 + order[i]], faults);
    for (i = 0; i < n; i++) printf("%s%.1f", i ? " " : "", took[i]);
    putchar('\n');
  }
  return 0;
}
