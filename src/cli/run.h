// A run of the host program over its drives, one after another: each is
// opened, set up (or, in a dry run, only read), and released on its own.
// Silent on success; a line on standard error for each failure, and with
// --verbose a line on standard output for each file.
#ifndef DOSSETUP_CLI_RUN_H_
#define DOSSETUP_CLI_RUN_H_

#include "cli/options.h"

// The exit status: the first failure's, else kStatusWouldChange for a dry
// run that found a change, else 0. After an interrupt, no further drive
// is started.
int RunDrives(const Options& options);

#endif  // DOSSETUP_CLI_RUN_H_
