// Starting helper programs (mtools, QEMU's tools, diff) without a shell: an
// argument vector, an environment of the caller's choosing, standard input
// from /dev/null unless given and standard error dropped unless collected.
// Every helper runs in a process group of its own, so that a terminal's Ctrl-C
// reaches only this program, which decides when to stop; and it gets a signal
// of the caller's choice when this program dies, so that none goes on working
// after it.
#ifndef DOSSETUP_HELPERS_SPAWN_H_
#define DOSSETUP_HELPERS_SPAWN_H_

#include <sys/types.h>

#include <initializer_list>
#include <map>
#include <string>
#include <vector>

// The program could not be started: it is not installed, or no process.
const int kNotStarted = -1;

struct ChildOptions {
  int in_fd = -1;        // standard input, else /dev/null
  int out_fd = -1;       // standard output, else /dev/null
  int extra_fd = -1;     // passed on as descriptor 3, if any
  int err_fd = -1;       // standard error, else /dev/null
  int death_signal = 9;  // what the child gets if this program dies first
  std::string folder;    // where it starts, else this program's folder
};

// Starts `program` (a full path) with `argv` and `env`; the child's pid, or
// -1.
pid_t StartChild(const std::string& program, std::vector<std::string> argv,
                 std::vector<std::string> env, const ChildOptions& options);
// How many helpers this process has started, by the word they were
// started as (argv[0]; for qemu-img, with its command: "qemu-img info").
// The tests count them.
std::map<std::string, int>& HelpersStarted();

// Still running when a wait ran out.
const int kStillRunning = -2;

// Waits for child `pid` to end, for at most `milliseconds` if that is not
// negative: its exit status, 128 and the signal's number if a signal ended
// it, kStillRunning, or kNotStarted if it is no child.
int WaitChild(pid_t pid, int milliseconds = -1);

struct RunOptions {
  int in_fd = -1;              // standard input, else /dev/null
  std::string* out = nullptr;  // collects standard output; else out_fd
  int out_fd = -1;             // standard output, else dropped
  int extra_fd = -1;           // passed on as descriptor 3, if any
  std::string* err = nullptr;  // collects standard error; else dropped
  std::string folder;          // where it starts, else this program's folder
};

// Runs `argv` (argv[0] found on PATH) with environment `env`. Returns its
// exit status as WaitChild does.
int RunProgram(const std::vector<std::string>& argv,
               const std::vector<std::string>& env,
               const RunOptions& options = RunOptions());

// Sleeps for `milliseconds`: the step at which waits here poll.
void PauseMilliseconds(int milliseconds);

// A helper's environment: the locale it speaks, `set` (NAME=value words),
// and this program's values of the variables named in `passed`; nothing
// else, so that no setting of the user's reaches a helper unasked.
std::vector<std::string> HelperEnvironment(
    const char* locale, std::initializer_list<const char*> passed,
    std::initializer_list<const char*> set = {});

// The full path of program `name` on PATH, or empty.
std::string FindProgram(const char* name);

#endif  // DOSSETUP_HELPERS_SPAWN_H_
