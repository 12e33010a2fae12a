#include "cli/diff.h"

#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include "helpers/spawn.h"

bool OutputReaderGone() {
  struct pollfd out = {STDOUT_FILENO, POLLOUT, 0};
  return poll(&out, 1, 0) == 1 && (out.revents & POLLERR) != 0;
}

DiffShown ShowDiff(const std::string& label, int old_fd, int new_fd,
                   ColorWhen color, std::string* why) {
  static const char* const kColor[] = {"--color=auto", "--color=always",
                                       "--color=never"};
  if (lseek(old_fd, 0, SEEK_SET) != 0 || lseek(new_fd, 0, SEEK_SET) != 0) {
    *why = "its texts cannot be read back";
    return kDiffFailed;
  }
  fflush(stdout);
  RunOptions options;
  options.in_fd = old_fd;
  options.extra_fd = new_fd;
  options.out_fd = STDOUT_FILENO;
  // Status 1: the texts differ, as they do here.
  int status =
      RunProgram({"diff", "-u", "--strip-trailing-cr", kColor[color], "--label",
                  label, "--label", label, "-", "/dev/fd/3"},
                 HelperEnvironment("C", {"PATH", "TERM"}), options);
  if (status == 0 || status == 1) return kDiffShown;
  if (status == 128 + SIGPIPE || OutputReaderGone()) return kDiffReaderGone;
  *why = status == kNotStarted ? "diff is not installed" : "diff failed";
  return kDiffFailed;
}
