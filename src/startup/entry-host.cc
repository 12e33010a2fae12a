// The host entry: a Linux tool over one drive C or several (cli/). The
// Windows entry keeps its own rules: no options, no output.
#include <signal.h>
#include <stdio.h>

#include "cli/options.h"
#include "cli/run.h"
#include "cli/statuses.h"
#include "diskimage/engine/interrupts.h"

int main(int argc, char** argv) {
  Options options;
  switch (ParseOptions(argc, argv, &options, stderr)) {
    case kParsedHelp:
      PrintHelp(stdout);
      return fflush(stdout) == 0 ? 0 : 1;
    case kParsedVersion:
      PrintVersion(stdout);
      return fflush(stdout) == 0 ? 0 : 1;
    case kParsedWrong:
      return kStatusUsage;
    case kParsedRun:
      break;
  }
  CatchInterrupts();
  // A reader that goes away must not end a run halfway: writes then fail
  // with EPIPE instead (cli/run.h).
  signal(SIGPIPE, SIG_IGN);
  return RunDrives(options);
}
