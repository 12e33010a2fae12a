// Running a helper program (mtools, QEMU's tools) without a shell: an
// argument vector, an environment of the caller's choosing, standard input
// from /dev/null and standard error dropped.
#ifndef DOSSETUP_PLATFORM_HOST_SPAWN_H_
#define DOSSETUP_PLATFORM_HOST_SPAWN_H_

#include <string>
#include <vector>

// The program could not be started: it is not installed, or no process.
const int kNotStarted = -1;

// Runs `argv` (argv[0] found on PATH) with environment `env`. Its output
// is collected into `out`, or goes to `out_fd`, or is dropped. Returns its
// exit status, 128 and the signal's number if a signal ended it, or
// kNotStarted.
int RunProgram(const std::vector<std::string>& argv,
               const std::vector<std::string>& env, std::string* out = nullptr,
               int out_fd = -1);

// The full path of program `name` on PATH, or empty.
std::string FindProgram(const char* name);

// Pointers to each string's text, then a null, as exec wants them.
std::vector<char*> ExecVector(std::vector<std::string>& words);

#endif  // DOSSETUP_PLATFORM_HOST_SPAWN_H_
