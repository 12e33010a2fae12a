// The host program's exit statuses, each with the meaning --help and the
// manual give it: the drive's (platform/host/drive/status.h), and those
// of the command line's own.
#ifndef DOSSETUP_CLI_STATUSES_H_
#define DOSSETUP_CLI_STATUSES_H_

#include <string>

enum {
  kStatusWouldChange = 1,  // a dry run found something to change
  kStatusFileFailed = 2,   // a file could not be read or replaced
  kStatusUsage = 64,       // the command line was wrong
  kStatusSignal = 128,     // plus the signal's number
};

// Every status the program can give; kStatusSignal stands for 128+N.
struct StatusMeaning {
  int status;
  const char* meaning;
};

extern const StatusMeaning kStatusMeanings[];
extern const int kStatusMeaningCount;

// The status as --help, the manual and the README write it: "65", "128+N".
std::string StatusText(int status);

#endif  // DOSSETUP_CLI_STATUSES_H_
