// The host entry. Like the Windows one it takes no options: the arguments
// are ignored. Drive C is the folder or disk image named by
// DOSSETUP_DRIVE_C, else the current directory.
#include "platform/host/drive.h"
#include "startup/setup.h"

int main() {
  RunSetup();
  // Lets go of drive C: an image's lock and any daemon holding its view.
  HostSetDriveC(nullptr);
  return 0;
}
