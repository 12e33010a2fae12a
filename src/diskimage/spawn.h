// Starting helper programs (mtools, QEMU's tools) without a shell: an
// argument vector, an environment of the caller's choosing, standard input
// from /dev/null and standard error dropped. Every helper runs in a process
// group of its own, so that a terminal's Ctrl-C reaches only this program,
// which decides when to stop; and it gets a signal of the caller's choice
// when this program dies, so that none goes on working after it.
#ifndef DOSSETUP_DISKIMAGE_SPAWN_H_
#define DOSSETUP_DISKIMAGE_SPAWN_H_

#include <sys/types.h>

#include <string>
#include <vector>

// The program could not be started: it is not installed, or no process.
const int kNotStarted = -1;

struct ChildOptions {
  int out_fd = -1;       // standard output, else /dev/null
  int extra_fd = -1;     // passed on as descriptor 3, if any
  int death_signal = 9;  // what the child gets if this program dies first
};

// The folder helpers start in, or empty for this program's own. QEMU
// finds a qcow2's data file from there, so an image's helpers start in
// the image's folder.
void SetHelperFolder(const std::string& folder);

// Starts `program` (a full path) with `argv` and `env`; the child's pid, or
// -1.
pid_t StartChild(const std::string& program, std::vector<std::string> argv,
                 std::vector<std::string> env, const ChildOptions& options);
// Still running when a wait ran out.
const int kStillRunning = -2;

// Waits for child `pid` to end, for at most `milliseconds` if that is not
// negative: its exit status, 128 and the signal's number if a signal ended
// it, kStillRunning, or kNotStarted if it is no child.
int WaitChild(pid_t pid, int milliseconds = -1);

// Runs `argv` (argv[0] found on PATH) with environment `env`. Its output
// is collected into `out`, or goes to `out_fd`, or is dropped; `extra_fd`
// is the child's descriptor 3. Returns its exit status as WaitChild does.
int RunProgram(const std::vector<std::string>& argv,
               const std::vector<std::string>& env, std::string* out = nullptr,
               int out_fd = -1, int extra_fd = -1);

// Sleeps for `milliseconds`: the step at which waits here poll.
void PauseMilliseconds(int milliseconds);

// The full path of program `name` on PATH, or empty.
std::string FindProgram(const char* name);

#endif  // DOSSETUP_DISKIMAGE_SPAWN_H_
