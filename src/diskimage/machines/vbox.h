// A VirtualBox machine file (.vbox): its media registry, where the disks a
// machine uses nest parent to child (a snapshot's differencing disk under
// the disk it was taken of), each by UUID and location (relative to the
// machine file's folder).
#ifndef DOSSETUP_DISKIMAGE_MACHINES_VBOX_H_
#define DOSSETUP_DISKIMAGE_MACHINES_VBOX_H_

#include <string>
#include <vector>

struct VboxDisk {
  std::string uuid;      // as the file writes it, braces and all
  std::string location;  // absolute
  std::vector<VboxDisk> children;
};

struct VboxMachine {
  std::vector<VboxDisk> disks;  // the registry's hard disks, parents first
};

// Reads the machine file at the absolute `path`; false when it is none.
bool ReadVbox(const std::string& path, VboxMachine* machine);

#endif  // DOSSETUP_DISKIMAGE_MACHINES_VBOX_H_
