// Fault injection for the host layer: a test arms one operation to fail
// on its Nth use, or to end the process there as a crash would. Every
// platform call counts its uses here, so a test can also learn how often
// a clean run uses each one.
#ifndef DOSSETUP_PLATFORM_HOST_FAULTS_H_
#define DOSSETUP_PLATFORM_HOST_FAULTS_H_

enum FaultOp {
  kFaultOpenRead,
  kFaultOpenWrite,
  kFaultRead,
  kFaultWrite,
  kFaultClose,
  kFaultCopy,
  kFaultDelete,
  kFaultSystemDirectory,
  kFaultWindowsDirectory,
  kFaultShortPath,
  kFaultProfile,
  kFaultOpCount
};

enum FaultAction { kFaultFail, kFaultAbort };

// Forgets any armed fault and every count.
void FaultReset();
// The `nth` use (from 1) of `op` fails, or aborts the process.
void FaultArm(FaultOp op, int nth, FaultAction action);
// How often `op` has been used since the last reset.
int FaultUses(FaultOp op);
const char* FaultOpName(FaultOp op);

// Called by the host layer at each use of `op`: counts it and says whether
// this use must fail. An armed abort ends the process here.
bool FaultHit(FaultOp op);

// The steps of the work on a disk image, for tests that stop a run at
// each: every helper program once it runs, and the commit point. At the
// armed step `signal` goes to this process, or to its process group.
void StepArm(int nth, int signal, bool to_group);
int StepUses();
void StepHit();

#endif  // DOSSETUP_PLATFORM_HOST_FAULTS_H_
