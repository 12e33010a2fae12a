#include "stops/steps.h"

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

static int steps = 0;
static int step_nth = 0;
static int step_signal = 0;
static bool step_to_group = false;
static std::vector<std::string> commit_env;
static long long commit_written = 0;

void StepArm(int nth, int signal, bool to_group) {
  steps = 0;
  step_nth = nth;
  step_signal = signal;
  step_to_group = to_group;
  commit_env.clear();
  commit_written = 0;
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

// The value of setting `name` among those armed, or "".
static std::string Setting(const char* name) {
  std::string prefix = std::string(name) + "=";
  for (const std::string& setting : commit_env) {
    if (setting.compare(0, prefix.size(), prefix) == 0) {
      return setting.substr(prefix.size());
    }
  }
  return "";
}

size_t StepCutWrite(uint64_t at, size_t size, bool* stop) {
  *stop = false;
  if (commit_env.empty()) return size;
  long long before = commit_written;
  commit_written += static_cast<long long>(size);
  // A line a write, so that a test can stop at each.
  std::string count = Setting("DOSSETUP_STOP_COUNT");
  if (!count.empty()) {
    if (FILE* out = fopen(count.c_str(), "ae")) {
      fprintf(out, "%lld\n", commit_written);
      fclose(out);
    }
  }
  long long cut = atoll(Setting("DOSSETUP_STOP_AT").c_str());
  if (cut <= 0 || commit_written < cut) return size;
  *stop = true;
  uint64_t allowed = before >= cut ? 0 : static_cast<uint64_t>(cut - before);
  uint64_t end = (at + allowed) / 512 * 512;
  return end > at ? static_cast<size_t>(end - at) : 0;
}

void StepStopNow() {
  kill(getpid(), SIGKILL);
}
