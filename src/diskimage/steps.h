// The steps of the work on a disk image, for tests that stop a run at
// each: every helper program once it runs, the view once it is open, and
// the commit point. At the armed step a signal goes to this process, or
// to its process group, as a terminal or a kill would send it. A stop can
// also fall among the commit's own writes.
#ifndef DOSSETUP_DISKIMAGE_STEPS_H_
#define DOSSETUP_DISKIMAGE_STEPS_H_

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
// program writes itself reads the same settings (CommitWriteAt).
void StepArmInCommit(const std::string& preload,
                     const std::vector<std::string>& settings);
// What qemu-img's environment gains for a commit into `file`: nothing
// unless a stop is armed there.
std::vector<std::string> StepCommitEnvironment(const std::string& file);

// A write of a commit this program makes itself (WriteAt, bytes.h). Where
// a stop is armed among the commit's writes, it counts the bytes and is
// cut short at the armed one, and the program is then killed there.
bool CommitWriteAt(int fd, const char* data, size_t size, uint64_t at);

#endif  // DOSSETUP_DISKIMAGE_STEPS_H_
