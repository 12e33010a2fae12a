// Runs a command and prints its wall time in seconds and its peak resident
// memory in KiB, from wait4. Being tiny, it lends the command next to
// nothing of its own memory at the exec (Linux counts the larger of the
// two), unlike a script language's interpreter would.
//
// usage: measure COMMAND [ARGUMENT...]
#include <spawn.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>

extern char** environ;  // NOLINT(readability-redundant-declaration): POSIX asks
                        // the program to declare it

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: measure COMMAND [ARGUMENT...]\n");
    return 2;
  }
  timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  pid_t child;
  if (posix_spawnp(&child, argv[1], nullptr, nullptr, argv + 1, environ) != 0) {
    perror(argv[1]);
    return 2;
  }
  int status = 0;
  rusage usage = {};
  if (wait4(child, &status, 0, &usage) != child) {
    perror("wait4");
    return 2;
  }
  clock_gettime(CLOCK_MONOTONIC, &end);
  double seconds = static_cast<double>(end.tv_sec - start.tv_sec) +
                   static_cast<double>(end.tv_nsec - start.tv_nsec) / 1e9;
  printf("%.6f %ld\n", seconds, usage.ru_maxrss);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
