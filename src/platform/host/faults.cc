#include "platform/host/faults.h"

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

static int uses[kFaultOpCount];
static FaultOp armed_op = kFaultOpCount;
static int armed_nth = 0;
static FaultAction armed_action = kFaultFail;
static int steps = 0;
static int step_nth = 0;
static int step_signal = 0;
static bool step_to_group = false;

void FaultReset() {
  for (int& count : uses) count = 0;
  armed_op = kFaultOpCount;
  armed_nth = 0;
  steps = 0;
  step_nth = 0;
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
  if (op != armed_op || count != armed_nth) return false;
  if (armed_action == kFaultAbort) abort();
  return true;
}

void StepArm(int nth, int signal, bool to_group) {
  step_nth = nth;
  step_signal = signal;
  step_to_group = to_group;
}

int StepUses() {
  return steps;
}

void StepHit() {
  if (++steps == step_nth) kill(step_to_group ? 0 : getpid(), step_signal);
}
