// Stops for tests, in a room of their own below everything that steps:
// the work on a disk image counts its steps (every helper program once it
// runs, the view once it is open, the commit point), and at the armed step
// a signal goes to this process, or to its process group, as a terminal or
// a kill would send it. A stop can also fall among the commit's own
// writes: into qemu-img, through a library loaded into it, or into this
// program's own writes, which ask here how far each may go.
#ifndef DOSSETUP_STOPS_STEPS_H_
#define DOSSETUP_STOPS_STEPS_H_

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

// The `nth` step (from 1) sends `signal`; 0 arms none. Counting restarts,
// and a stop among the commit's writes is disarmed.
void StepArm(int nth, int signal, bool to_group);
// The steps passed since the last StepArm.
int StepUses();
// Called at each step.
void StepHit();

// Arms a stop among the commit's writes: the test library `preload` is
// loaded into qemu-img, with `settings` and DOSSETUP_STOP_FILE naming the
// file it commits into, and stops the run from there. A commit this
// program writes itself reads the same settings (StepCutWrite).
void StepArmInCommit(const std::string& preload,
                     const std::vector<std::string>& settings);
// What qemu-img's environment gains for a commit into `file`: nothing
// unless a stop is armed there.
std::vector<std::string> StepCommitEnvironment(const std::string& file);

// For a write of `size` bytes at file offset `at` of a commit this program
// makes itself: how many of them may be written. Where a stop falls inside
// it, fewer, ending on a sector boundary of the file (a killed process
// stops between pages, never inside a sector), and `*stop` is set: the
// caller writes those and then calls StepStopNow.
size_t StepCutWrite(uint64_t at, size_t size, bool* stop);
// Kills this process, as the armed stop asks.
void StepStopNow();

#endif  // DOSSETUP_STOPS_STEPS_H_
