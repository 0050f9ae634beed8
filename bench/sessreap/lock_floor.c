/* The lock test's floor: the walk of one session directory with the calls
 * that sessreap makes for each entry and each expired file, and nothing
 * else (no /proc scan, no in-use set, no messages).
 *
 *   lock_floor DIR AGE_SECONDS
 *
 * Per entry one fstatat; per regular file whose ctime lies more than
 * AGE_SECONDS before the clock read at the start: openat (O_RDONLY |
 * O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC), fstat, flock (LOCK_EX |
 * LOCK_NB), fcntl (F_OFD_GETLK), unlinkat unless locked, close.
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static int locked(int fd) {
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) return 1;
  struct flock record = {.l_type = F_WRLCK, .l_whence = SEEK_SET};
  return fcntl(fd, F_OFD_GETLK, &record) == 0 && record.l_type != F_UNLCK;
}

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: lock_floor DIR AGE_SECONDS\n");
    return 2;
  }
  const time_t now = time(NULL);
  const long age = atol(argv[2]);
  DIR *dir = opendir(argv[1]);
  if (dir == NULL) return 1;
  const int dir_fd = dirfd(dir);
  struct dirent *e;
  while ((e = readdir(dir)) != NULL) {
    struct stat st, now_st;
    if (fstatat(dir_fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
        now - st.st_ctime <= age)
      continue;
    int fd = openat(dir_fd, e->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) continue;
    if (fstat(fd, &now_st) == 0 && now_st.st_ino == st.st_ino && !locked(fd))
      unlinkat(dir_fd, e->d_name, 0);
    close(fd);
  }
  closedir(dir);
  return 0;
}
