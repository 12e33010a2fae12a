#include "platform/host/drive/drive_c.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

#include "diskimage/engine/interrupts.h"
#include "platform/host/drive/folder.h"
#include "platform/host/drive/image.h"

namespace {

// Every operation fails: drive C could not be used.
const DriveBackend kNoDrive = {
    [](const char*, bool, DriveProblem*) -> Drive* { return nullptr; },
    [](Drive*, DriveProblem*) {},
    [](Drive*, const std::string&, std::vector<std::string>*) { return false; },
    [](Drive*, const std::string&, const std::vector<std::string>&,
       const std::string&) { return std::string(); },
    [](Drive*, const std::string&) { return kEntryMissing; },
    [](Drive*, const std::string&) { return -1; },
    [](Drive*, const std::string&) { return -1; },
    [](Drive*, int, const std::string&) { return false; },
    [](Drive*, const std::string&, const std::string&) { return false; },
    [](Drive*, const std::string&) { return false; },
};

struct Choice {
  std::string location = ".";
  bool read_only = false;
  Drive* opened = nullptr;
  Drive none;  // stands for a drive that could not be opened
};

Choice chosen;

void Close() {
  if (chosen.opened && chosen.opened != &chosen.none) {
    DriveProblem problem;
    chosen.opened->ops->detach(chosen.opened, &problem);
    ReportDrive(problem);
  }
  chosen.opened = nullptr;
}

}  // namespace

void HostChooseDriveC(const char* location, bool read_only) {
  Close();
  ResetDriveStatus();
  chosen.read_only = read_only;
  chosen.location = ".";
  if (location) {
    chosen.location = location;
  } else if (const char* env = getenv("DOSSETUP_DRIVE_C")) {
    if (*env) chosen.location = env;
  }
}

bool HostDriveCReadOnly() {
  return chosen.read_only;
}

std::string HostDriveCLocation() {
  return chosen.location;
}

int HostReleaseDriveC() {
  Close();
  chosen.location = ".";
  chosen.read_only = false;
  int signal = InterruptSignal();
  return signal != 0 ? 128 + signal : ReportedDrive().status;
}

Drive* OpenDriveC() {
  if (chosen.opened) return chosen.opened;
  chosen.none.ops = &kNoDrive;
  chosen.opened = &chosen.none;
  const char* location = chosen.location.c_str();
  struct stat st;
  if (stat(location, &st) != 0) {
    ReportDrive(kDriveMissing, strerror(errno));
    return chosen.opened;
  }
  // A whole disk, such as a CF card for a real machine: its partition
  // table is the system's to read, and it is never opened here.
  if (S_ISBLK(st.st_mode)) {
    ReportDrive(kDriveUnusable,
                "a block device; mount its FAT partition and name the "
                "folder, or name an image file");
    return chosen.opened;
  }
  const DriveBackend& backend =
      S_ISREG(st.st_mode) ? kImageDrive : kFolderDrive;
  DriveProblem problem;
  Drive* drive = backend.attach(location, chosen.read_only, &problem);
  if (drive) {
    chosen.opened = drive;
  } else {
    ReportDrive(problem);
  }
  return chosen.opened;
}
