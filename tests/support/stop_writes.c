/* Loaded into qemu-img by the crash table (LD_PRELOAD): qemu-img's writes
 * to one file are cut short after a number of bytes, even inside a write
 * (on a sector boundary of the file, as a killed process stops between
 * pages), and SIGKILL then goes to qemu-img, first to its parent too when
 * asked, so that a run stops at that point of the commit.
 *   DOSSETUP_STOP_FILE    the file watched, an absolute path
 *   DOSSETUP_STOP_AT      the bytes written before the stop; 0: no stop
 *   DOSSETUP_STOP_PARENT  "1": the program that started qemu-img dies too
 *   DOSSETUP_STOP_COUNT   a file that receives the bytes written so far */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/uio.h>
#include <unistd.h>

static long long written;

static int Watched(int fd) {
  const char* file = getenv("DOSSETUP_STOP_FILE");
  char link[64], target[4096];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t length = file ? readlink(link, target, sizeof target - 1) : -1;
  if (length < 0) return 0;
  target[length] = '\0';
  return strcmp(target, file) == 0;
}

/* How many of `size` bytes for `fd` at file offset `at` (negative: where
 * it stands) may be written; *stop when the run must end after them. */
static size_t Allowed(int fd, long long at_file, size_t size, int* stop) {
  *stop = 0;
  if (!Watched(fd)) return size;
  long long at =
      atoll(getenv("DOSSETUP_STOP_AT") ? getenv("DOSSETUP_STOP_AT") : "0");
  long long before =
      __atomic_fetch_add(&written, (long long)size, __ATOMIC_SEQ_CST);
  const char* count = getenv("DOSSETUP_STOP_COUNT");
  if (count) {
    FILE* out = fopen(count, "w");
    if (out) {
      fprintf(out, "%lld\n", before + (long long)size);
      fclose(out);
    }
  }
  if (at <= 0 || before + (long long)size < at) return size;
  *stop = 1;
  long long allowed = before >= at ? 0 : at - before;
  if (at_file < 0) at_file = lseek(fd, 0, SEEK_CUR);
  if (at_file < 0) return 0;
  long long end = (at_file + allowed) / 512 * 512;
  return end > at_file ? (size_t)(end - at_file) : 0;
}

static void Stop(void) {
  const char* parent = getenv("DOSSETUP_STOP_PARENT");
  if (parent && strcmp(parent, "1") == 0) kill(getppid(), SIGKILL);
  kill(getpid(), SIGKILL);
}

#define NEXT(name)               \
  static __typeof__(name)* next; \
  if (!next) next = (__typeof__(name)*)dlsym(RTLD_NEXT, #name)

ssize_t pwrite64(int fd, const void* data, size_t size, off_t at) {
  NEXT(pwrite64);
  int stop;
  size_t allowed = Allowed(fd, at, size, &stop);
  ssize_t done = allowed ? next(fd, data, allowed, at) : 0;
  if (stop) Stop();
  return done;
}

ssize_t write(int fd, const void* data, size_t size) {
  NEXT(write);
  int stop;
  size_t allowed = Allowed(fd, -1, size, &stop);
  ssize_t done = allowed ? next(fd, data, allowed) : 0;
  if (stop) Stop();
  return done;
}

/* The first `allowed` bytes of `iov` made, one piece after another. */
static ssize_t Vector(int fd, const struct iovec* iov, int count, off_t at,
                      int positioned) {
  NEXT(pwrite64);
  static ssize_t (*plain)(int, const void*, size_t);
  if (!plain)
    plain = (ssize_t(*)(int, const void*, size_t))dlsym(RTLD_NEXT, "write");
  size_t size = 0;
  for (int i = 0; i < count; ++i) size += iov[i].iov_len;
  int stop;
  size_t allowed = Allowed(fd, positioned ? at : -1, size, &stop);
  ssize_t done = 0;
  for (int i = 0; i < count && allowed > 0; ++i) {
    size_t part = iov[i].iov_len < allowed ? iov[i].iov_len : allowed;
    ssize_t made = positioned ? next(fd, iov[i].iov_base, part, at + done)
                              : plain(fd, iov[i].iov_base, part);
    if (made < 0) return made;
    done += made;
    allowed -= (size_t)made;
    if ((size_t)made < part) break;
  }
  if (stop) Stop();
  return done;
}

ssize_t pwritev64(int fd, const struct iovec* iov, int count, off_t at) {
  return Vector(fd, iov, count, at, 1);
}

ssize_t writev(int fd, const struct iovec* iov, int count) {
  return Vector(fd, iov, count, 0, 0);
}

ssize_t copy_file_range(int in, loff_t* in_at, int out, loff_t* out_at,
                        size_t size, unsigned flags) {
  NEXT(copy_file_range);
  int stop;
  size_t allowed = Allowed(out, out_at ? *out_at : -1, size, &stop);
  ssize_t done = allowed ? next(in, in_at, out, out_at, allowed, flags) : 0;
  if (stop) Stop();
  return done;
}
