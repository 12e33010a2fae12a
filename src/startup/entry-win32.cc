// The Windows entry: no window, no options; the command line is ignored.
#include "platform/platform.h"
#include "startup/setup.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  RunSetup();
  return 0;
}
