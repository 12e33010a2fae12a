// The host program's exit statuses, each with the meaning --help and the
// manual give it: the drive's (platform/host/drive/status.h), and those
// of the command line's own.
#ifndef DOSSETUP_CLI_STATUSES_H_
#define DOSSETUP_CLI_STATUSES_H_

enum {
  kStatusWouldChange = 1,  // a dry run found something to change
  kStatusFileFailed = 2,   // a file could not be read or replaced
  kStatusUsage = 64,       // the command line was wrong
  kStatusSignal = 128,     // plus the signal's number
};

struct StatusMeaning {
  const char* status;  // "0", "65", "128+N"
  const char* meaning;
};

extern const StatusMeaning kStatusMeanings[];
extern const int kStatusMeaningCount;

#endif  // DOSSETUP_CLI_STATUSES_H_
