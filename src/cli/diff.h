// A change shown as a unified diff, by diffutils' diff: line ends as
// stored (CR LF) are shown as plain lines.
#ifndef DOSSETUP_CLI_DIFF_H_
#define DOSSETUP_CLI_DIFF_H_

#include <string>

#include "cli/options.h"

// Writes to standard output the diff from the bytes `old_fd` reads to
// those `new_fd` reads, both labelled `label`. False, with `why` set, when
// diff could not show it.
bool ShowDiff(const std::string& label, int old_fd, int new_fd, ColorWhen color,
              std::string* why);

#endif  // DOSSETUP_CLI_DIFF_H_
