#include "platform/host/faults.h"

#include <stdlib.h>

#include "platform/host/drive/backend.h"
#include "stops/steps.h"

static int uses[kFaultOpCount];
static FaultOp armed_op = kFaultOpCount;
static int armed_nth = 0;
static FaultAction armed_action = kFaultFail;

void FaultReset() {
  for (int& count : uses) count = 0;
  armed_op = kFaultOpCount;
  armed_nth = 0;
  copy_crash_hook = nullptr;
  StepArm(0, 0, false);
}

void FaultArm(FaultOp op, int nth, FaultAction action) {
  armed_op = op;
  armed_nth = nth;
  armed_action = action;
}

int FaultUses(FaultOp op) {
  return uses[op];
}

const char* FaultOpName(FaultOp op) {
  static const char* const kNames[kFaultOpCount] = {
      "open-read",
      "open-write",
      "read",
      "write",
      "close",
      "copy",
      "delete",
      "system-directory",
      "windows-directory",
      "short-path",
      "profile",
  };
  return op < kFaultOpCount ? kNames[op] : "?";
}

bool FaultHit(FaultOp op) {
  int count = ++uses[op];
  bool armed = op == armed_op && count == armed_nth;
  if (op == kFaultCopy) {
    // A crash waits for the point inside the copy where it matters most.
    bool crash = armed && armed_action == kFaultAbort;
    copy_crash_hook = crash ? abort : nullptr;
    if (crash) return false;
  }
  if (!armed) return false;
  if (armed_action == kFaultAbort) abort();
  return true;
}
