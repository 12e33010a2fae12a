#include "diskimage/steps.h"

#include <signal.h>
#include <unistd.h>

static int steps = 0;
static int step_nth = 0;
static int step_signal = 0;
static bool step_to_group = false;
static std::vector<std::string> commit_env;

void StepArm(int nth, int signal, bool to_group) {
  steps = 0;
  step_nth = nth;
  step_signal = signal;
  step_to_group = to_group;
  commit_env.clear();
}

int StepUses() {
  return steps;
}

void StepHit() {
  if (++steps == step_nth) kill(step_to_group ? 0 : getpid(), step_signal);
}

void StepArmInCommit(const std::string& preload,
                     const std::vector<std::string>& settings) {
  StepArm(0, 0, false);
  commit_env = settings;
  commit_env.push_back("LD_PRELOAD=" + preload);
}

std::vector<std::string> StepCommitEnvironment(const std::string& file) {
  if (commit_env.empty()) return {};
  std::vector<std::string> env = commit_env;
  env.push_back("DOSSETUP_STOP_FILE=" + file);
  return env;
}
