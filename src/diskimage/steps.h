// The steps of the work on a disk image, for tests that stop a run at
// each: every helper program once it runs, the view once it is open, and
// the commit point. At the armed step a signal goes to this process, or
// to its process group, as a terminal or a kill would send it.
#ifndef DOSSETUP_DISKIMAGE_STEPS_H_
#define DOSSETUP_DISKIMAGE_STEPS_H_

// The `nth` step (from 1) sends `signal`; 0 arms none. Counting restarts.
void StepArm(int nth, int signal, bool to_group);
// The steps passed since the last StepArm.
int StepUses();
// Called at each step.
void StepHit();

#endif  // DOSSETUP_DISKIMAGE_STEPS_H_
