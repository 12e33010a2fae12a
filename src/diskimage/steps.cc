#include "diskimage/steps.h"

#include <signal.h>
#include <unistd.h>

static int steps = 0;
static int step_nth = 0;
static int step_signal = 0;
static bool step_to_group = false;

void StepArm(int nth, int signal, bool to_group) {
  steps = 0;
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
