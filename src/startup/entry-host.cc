// The host entry. Like the Windows one it takes no options: the arguments
// are ignored. Drive C is the folder or disk image named by
// DOSSETUP_DRIVE_C, else the current directory. It is silent too, but its
// exit status tells whether drive C could be used (drive.h).
#include "diskimage/interrupts.h"
#include "platform/host/drive/drive_c.h"
#include "startup/setup.h"

int main() {
  CatchInterrupts();
  RunSetup();
  // Commits an image's changes and lets go of it.
  return HostReleaseDriveC();
}
