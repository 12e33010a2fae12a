// A VirtualBox machine file (.vbox), as the disk formats and the search
// for children need it: its media registry, where the disks a machine
// uses nest parent to child (a snapshot's differencing disk under the disk
// it was taken of), each by UUID and location (relative to the machine
// file's folder); the hard disks its current state attaches (the
// machine's own controllers, not the copies a snapshot keeps), the first
// on its IDE controller being drive C; and whether it is saved. Read by
// virtualbox.cc, the VirtualBox reader of machine files (reader.h).
#ifndef DOSSETUP_DISKIMAGE_MACHINES_VBOX_H_
#define DOSSETUP_DISKIMAGE_MACHINES_VBOX_H_

#include <sys/stat.h>

#include <string>
#include <vector>

struct VboxDisk {
  std::string uuid;      // as the file writes it, braces and all
  std::string given;     // its location as the file gives it
  std::string location;  // absolute; "" for a Windows path
  size_t line = 0;
  std::vector<VboxDisk> children;
};

struct VboxMachine {
  std::vector<VboxDisk> disks;        // the registry's hard disks
  std::string drive_c;                // the UUID of drive C, or ""
  std::vector<std::string> attached;  // the UUIDs its current state uses
  std::string state_file;             // a saved machine's state, or ""
};

// Every disk of the registry, each before the disks built on it.
std::vector<const VboxDisk*> VboxDisks(const VboxMachine& machine);

// The registry's disk of `uuid`, or null; `*parent` the one it is nested
// under (null for a disk at the top).
const VboxDisk* VboxFind(const VboxMachine& machine, const std::string& uuid,
                         const VboxDisk** parent = nullptr);

// Reads the machine file at the absolute `path`; false when it is none.
bool ReadVbox(const std::string& path, VboxMachine* machine);

// The machine file beside the disk `st` (in `folder`) or in the folder
// above, whose machine is saved with the disk attached in its current
// state; "" where there is none.
std::string SavedVboxUsing(const std::string& folder, const struct stat& st);

#endif  // DOSSETUP_DISKIMAGE_MACHINES_VBOX_H_
