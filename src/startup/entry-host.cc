// The host entry. Like the Windows one it takes no options: the arguments
// are ignored. Drive C is the folder named by DOSSETUP_DRIVE_C, else the
// current directory.
#include "startup/setup.h"

int main() {
  RunSetup();
  return 0;
}
