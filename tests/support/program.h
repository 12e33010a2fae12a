// The host program as users start it, for the command-line tests: run from
// /, with its output, its lines on stderr and its status collected.
#ifndef DOSSETUP_TESTS_SUPPORT_PROGRAM_H_
#define DOSSETUP_TESTS_SUPPORT_PROGRAM_H_

#include <map>
#include <string>
#include <vector>

struct Invocation {
  int status = -1;
  std::string out;
  std::string err;
  long peak_kib = 0;  // the largest resident size of the run's processes
  double seconds = 0;
};

// Runs the program (DOSSETUP_BINARY) with `args` and `env` (NAME=value
// words added to the environment), each `{name}` in them replaced by the
// path `names` gives it. With `reader_gone`, its standard output is a pipe
// whose reader has gone before it starts, as after `| head` has ended.
Invocation Invoke(const std::vector<std::string>& args,
                  const std::map<std::string, std::string>& names = {},
                  const std::string& env = "", bool reader_gone = false);

// `text` with each `{name}` replaced by its path.
std::string Fill(std::string text,
                 const std::map<std::string, std::string>& names);

// The bytes of a file; empty when it cannot be read.
std::string ReadFile(const std::string& path);

// Copies the sample drive, examples/win95, to the new folder `to`.
void CopySample(const std::string& to);

#endif  // DOSSETUP_TESTS_SUPPORT_PROGRAM_H_
