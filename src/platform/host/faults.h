// Fault injection where the Windows calls meet drive C: a test arms one
// call to fail on its Nth use, or to end the process there as a crash
// would. Every call counts its uses here, so a test can also learn how
// often a clean run uses each one. A crash armed for a copy happens inside
// the back end's copy, at its one crash point (drive/backend.h).
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

// Called by the Windows calls at each use of `op`: counts it and says
// whether this use must fail. An armed abort ends the process here, or
// for a copy at the back end's crash point.
bool FaultHit(FaultOp op);

#endif  // DOSSETUP_PLATFORM_HOST_FAULTS_H_
