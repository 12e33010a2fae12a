// The host program's command line: dossetup [OPTION]... [DRIVE]...,
// parsed with getopt_long, and the texts of --help and --version.
#ifndef DOSSETUP_CLI_OPTIONS_H_
#define DOSSETUP_CLI_OPTIONS_H_

#include <stdio.h>

#include <string>
#include <vector>

enum ColorWhen { kColorAuto, kColorAlways, kColorNever };

struct Options {
  bool verbose = false;
  bool dry_run = false;
  bool diff = false;
  ColorWhen color = kColorAuto;
  std::vector<std::string> drives;  // none: DOSSETUP_DRIVE_C, else "."
};

enum ParseResult { kParsedRun, kParsedHelp, kParsedVersion, kParsedWrong };

// Parses argv. On kParsedWrong the complaint and the usage line have gone
// to `errors`.
ParseResult ParseOptions(int argc, char** argv, Options* options, FILE* errors);

void PrintHelp(FILE* out);
void PrintVersion(FILE* out);

#endif  // DOSSETUP_CLI_OPTIONS_H_
