// A VirtualBox machine file (.vbox): its media registry, where the disks a
// machine uses nest parent to child (a snapshot's differencing disk under
// the disk it was taken of), each by UUID and location (relative to the
// machine file's folder); the disk its current state attaches first on its
// first IDE controller (the machine's own controllers, not the copies a
// snapshot keeps), which is its drive C; and whether it is saved.
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
  std::string drive_c;          // the UUID of drive C, or ""
  std::string state_file;       // a saved machine's state, or ""
};

// Every disk of the registry, each before the disks built on it.
std::vector<const VboxDisk*> VboxDisks(const VboxMachine& machine);

// The location the registry gives the disk of `uuid`, or "".
std::string VboxLocation(const VboxMachine& machine, const std::string& uuid);

// Reads the machine file at the absolute `path`; false when it is none.
bool ReadVbox(const std::string& path, VboxMachine* machine);

#endif  // DOSSETUP_DISKIMAGE_MACHINES_VBOX_H_
