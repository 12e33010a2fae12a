#include "platform/host/drive/drive_c.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <string>

#include "diskimage/interrupts.h"
#include "platform/host/drive/folder.h"
#include "platform/host/drive/image.h"

namespace {

std::string chosen_location;
bool location_chosen = false;
const DriveBackend* opened = nullptr;

// Every operation fails: drive C could not be used.
const DriveBackend kNoDrive = {
    [](const char*) { return false; },
    [] {},
    [](const std::string&, std::vector<std::string>*) { return false; },
    [](const std::string&, const std::vector<std::string>&,
       const std::string&) { return std::string(); },
    [](const std::string&) { return kEntryMissing; },
    [](const std::string&) { return -1; },
    [](const std::string&) { return -1; },
    [](int, const std::string&) { return false; },
    [](const std::string&, const std::string&) { return false; },
    [](const std::string&) { return false; },
};

void Close() {
  if (opened) opened->detach();
  opened = nullptr;
}

}  // namespace

void HostChooseDriveC(const char* location) {
  Close();
  ResetDriveStatus();
  location_chosen = location != nullptr;
  chosen_location = location ? location : "";
}

int HostReleaseDriveC() {
  Close();
  location_chosen = false;
  chosen_location.clear();
  int signal = InterruptSignal();
  return signal != 0 ? 128 + signal : ReportedDrive();
}

const DriveBackend& OpenDriveC() {
  if (opened) return *opened;
  const char* location = ".";
  if (location_chosen) {
    location = chosen_location.c_str();
  } else if (const char* env = getenv("DOSSETUP_DRIVE_C")) {
    if (*env) location = env;
  }
  struct stat st;
  if (stat(location, &st) != 0) {
    ReportDrive(kDriveMissing);
    opened = &kNoDrive;
    return *opened;
  }
  bool image = S_ISREG(st.st_mode);
  opened = image ? &kImageDrive : &kFolderDrive;
  if (!opened->attach(location)) {
    ReportDrive(image ? kDriveUnusable : kDriveMissing);
    opened = &kNoDrive;
  }
  return *opened;
}
