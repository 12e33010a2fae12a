// Interrupts that wait for a safe point. SIGINT, SIGTERM and SIGHUP are
// caught, not obeyed at once: a helper at work finishes its step, the
// caller starts no further step once it sees one (InterruptSignal),
// changes to an image not yet complete are discarded and a commit already
// begun is finished. The program then exits with 128 and the signal's
// number, as a shell expects.
#ifndef DOSSETUP_DISKIMAGE_ENGINE_INTERRUPTS_H_
#define DOSSETUP_DISKIMAGE_ENGINE_INTERRUPTS_H_

// Installs the handlers.
void CatchInterrupts();
// The signal caught, or 0.
int InterruptSignal();
// Forgets a caught signal (for tests that run the program in-process).
void ForgetInterrupt();

#endif  // DOSSETUP_DISKIMAGE_ENGINE_INTERRUPTS_H_
