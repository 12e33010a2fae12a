#include "cli/diff.h"

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "diskimage/spawn.h"

bool ShowDiff(const std::string& label, int old_fd, int new_fd, ColorWhen color,
              std::string* why) {
  static const char* const kColor[] = {"--color=auto", "--color=always",
                                       "--color=never"};
  if (lseek(old_fd, 0, SEEK_SET) != 0 || lseek(new_fd, 0, SEEK_SET) != 0) {
    *why = "its texts cannot be read back";
    return false;
  }
  fflush(stdout);
  RunOptions options;
  options.in_fd = old_fd;
  options.extra_fd = new_fd;
  options.out_fd = STDOUT_FILENO;
  std::vector<std::string> env = {"LC_ALL=C"};
  for (const char* name : {"PATH", "TERM"}) {
    if (const char* value = getenv(name)) {
      env.push_back(std::string(name) + "=" + value);
    }
  }
  // Status 1: the texts differ, as they do here.
  int status =
      RunProgram({"diff", "-u", "--strip-trailing-cr", kColor[color], "--label",
                  label, "--label", label, "-", "/dev/fd/3"},
                 env, options);
  if (status == 0 || status == 1) return true;
  *why = status == kNotStarted ? "diff is not installed" : "diff failed";
  return false;
}
