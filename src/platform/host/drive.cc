#include "platform/host/drive.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>

#include "ascii.h"
#include "platform/host/folder.h"
#include "platform/host/image.h"
#include "platform/host/interrupts.h"
#include "platform/host/names.h"

namespace {

std::string chosen_location;
bool location_chosen = false;
const DriveBackend* attached = nullptr;
DriveStatus status = kDriveDone;

// Every operation fails: drive C could not be used.
const DriveBackend kNoDrive = {
    [](const char*) { return false; },
    [] {},
    [](const std::string&, std::vector<std::string>*) { return false; },
    [](const std::string&, const std::vector<std::string>&,
       const std::string&) { return std::string(); },
    [](const std::string&) { return kEntryMissing; },
    [](const std::string&) { return -1; },
    [](const std::string&, std::string*) { return -1; },
    [](int, const std::string&, const std::string&) { return false; },
    [](const std::string&, const std::string&) { return false; },
    [](const std::string&) { return false; },
};

// The entry `name` stands for in folder `parent`, or false.
bool FindEntry(const std::string& parent, const std::string& name,
               std::string* found) {
  std::vector<std::string> names;
  if (!Drive().list(parent, &names)) return false;
  if (std::binary_search(names.begin(), names.end(), name)) {
    *found = name;
    return true;
  }
  for (const std::string& candidate : names) {
    if (SameIgnoringAsciiCase(candidate, name)) {
      *found = candidate;
      return true;
    }
  }
  // A long name can also be reached by its short alias, as the paths this
  // program builds from short directory names are. Every alias holds a '~'.
  if (name.find('~') == std::string::npos) return false;
  for (const std::string& candidate : names) {
    if (!IsValidShortName(candidate) &&
        SameIgnoringAsciiCase(Drive().alias(parent, names, candidate), name)) {
      *found = candidate;
      return true;
    }
  }
  return false;
}

std::string Join(const std::string& parent, const std::string& name) {
  return parent.empty() ? name : parent + "/" + name;
}

}  // namespace

void HostSetDriveC(const char* location) {
  if (attached) attached->detach();
  attached = nullptr;
  status = kDriveDone;
  location_chosen = location != nullptr;
  chosen_location = location ? location : "";
}

void ReportDrive(DriveStatus reported) {
  if (status == kDriveDone) status = reported;
}

int HostReleaseDriveC() {
  if (attached) attached->detach();
  attached = nullptr;
  int signal = InterruptSignal();
  return signal != 0 ? 128 + signal : status;
}

// A regular file is a disk image; anything else is taken for a folder.
const DriveBackend& Drive() {
  if (attached) return *attached;
  const char* location = ".";
  if (location_chosen) {
    location = chosen_location.c_str();
  } else if (const char* env = getenv("DOSSETUP_DRIVE_C")) {
    if (*env) location = env;
  }
  struct stat st;
  if (stat(location, &st) != 0) {
    ReportDrive(kDriveMissing);
    attached = &kNoDrive;
    return *attached;
  }
  bool image = S_ISREG(st.st_mode);
  attached = image ? &kImageDrive : &kFolderDrive;
  if (!attached->attach(location)) {
    ReportDrive(image ? kDriveUnusable : kDriveMissing);
    attached = &kNoDrive;
  }
  return *attached;
}

void SplitRelative(const std::string& relative, std::string* parent,
                   std::string* name) {
  size_t slash = relative.rfind('/');
  if (slash == std::string::npos) {
    parent->clear();
    *name = relative;
  } else {
    *parent = relative.substr(0, slash);
    *name = relative.substr(slash + 1);
  }
}

MapResult MapWindowsPath(const char* path, bool last_may_be_missing,
                         std::string* relative, std::vector<PathStep>* steps) {
  relative->clear();
  if (steps) steps->clear();
  if (!((path[0] == 'C' || path[0] == 'c') && path[1] == ':')) {
    return kMapMissing;
  }
  // Split first, so that the last component is known while walking.
  std::vector<std::string> components;
  std::string current;
  for (const char* p = path + 2;; ++p) {
    if (*p == '\\' || *p == '/' || *p == '\0') {
      // Repeated backslashes collapse, as Windows does.
      if (!current.empty()) components.push_back(current);
      current.clear();
      if (*p == '\0') break;
    } else {
      current += *p;
    }
  }
  for (size_t i = 0; i < components.size(); ++i) {
    const std::string& given = components[i];
    if (given == "." || given == "..") return kMapInvalid;
    PathStep step;
    step.given = given;
    step.parent = *relative;
    if (!FindEntry(*relative, given, &step.found)) {
      if (!(last_may_be_missing && i + 1 == components.size())) {
        return kMapMissing;
      }
      step.found = given;
    }
    *relative = Join(*relative, step.found);
    if (steps) steps->push_back(step);
  }
  return kMapped;
}
