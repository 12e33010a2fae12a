#include "diskimage/engine/interrupts.h"

#include <signal.h>

#include <initializer_list>

namespace {

volatile sig_atomic_t caught = 0;

void Catch(int signal) {
  if (caught == 0) caught = signal;
}

}  // namespace

void CatchInterrupts() {
  struct sigaction action = {};
  action.sa_handler = Catch;
  // Reads and waits resume: a helper's step always finishes.
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    sigaction(signal, &action, nullptr);
  }
}

int InterruptSignal() {
  return caught;
}

void ForgetInterrupt() {
  caught = 0;
}
