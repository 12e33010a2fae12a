#include "startup/setup.h"

#include "files/batch.h"
#include "files/directories.h"
#include "files/settings.h"
#include "platform/platform.h"

char SystemDirShort[kDirectoryCapacity];
char WindowsDirShort[kDirectoryCapacity];

// A result as large as the buffer means the text did not fit and the
// buffer was never filled: that is a failure too.
static bool Fits(DWORD result) {
  return result != 0 && result < kDirectoryCapacity;
}

typedef int (*Update)();
static const Update kUpdates[kUpdateCount] = {
    UpdateAutoexecBat, UpdateDosstartBat, UpdateSettingsFile};

int RunUpdate(int index) {
  return kUpdates[index]();
}

// Fills both directory texts; false when any step failed.
bool ProbeDirectories() {
  char scratch[kDirectoryCapacity];
  return Fits(GetSystemDirectoryA(scratch, kDirectoryCapacity)) &&
         Fits(GetShortPathNameA(scratch, SystemDirShort, kDirectoryCapacity)) &&
         Fits(GetWindowsDirectoryA(scratch, kDirectoryCapacity)) &&
         Fits(GetShortPathNameA(scratch, WindowsDirShort, kDirectoryCapacity));
}

void RunSetup() {
  if (!ProbeDirectories()) return;
  // The results carry nothing anybody acts on.
  for (int i = 0; i < kUpdateCount; ++i) RunUpdate(i);
}
