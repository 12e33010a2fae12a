// A change shown as a unified diff, by diffutils' diff: line ends as
// stored (CR LF) are shown as plain lines.
#ifndef DOSSETUP_CLI_DIFF_H_
#define DOSSETUP_CLI_DIFF_H_

#include <string>

#include "cli/options.h"

enum DiffShown {
  kDiffShown,
  kDiffReaderGone,  // standard output's reader has gone
  kDiffFailed,      // `why` says why
};

// Writes to standard output the diff from the bytes `old_fd` reads to
// those `new_fd` reads, both labelled `label`.
DiffShown ShowDiff(const std::string& label, int old_fd, int new_fd,
                   ColorWhen color, std::string* why);

// Whether standard output is a pipe or socket whose reader has gone.
bool OutputReaderGone();

#endif  // DOSSETUP_CLI_DIFF_H_
