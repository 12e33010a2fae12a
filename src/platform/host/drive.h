// The host's drive C, and Windows paths mapped onto it.
//
// Drive C is a folder, or a FAT volume inside a disk image as PC emulators
// keep them (image.h): the Windows operations reach either
// through one set of operations on paths relative to the drive's root
// (DriveBackend), so that they never know which holds the drive.
//
// Windows paths name files without regard to case, so each component
// matches an existing entry exactly, else without regard to ASCII case
// (the first in byte order when several match), else by its short alias.
// Only drive C exists, and no ".." component is accepted.
#ifndef DOSSETUP_PLATFORM_HOST_DRIVE_H_
#define DOSSETUP_PLATFORM_HOST_DRIVE_H_

#include <string>
#include <vector>

// Chooses drive C: a folder or a disk image file; null means
// DOSSETUP_DRIVE_C, else the current directory. Takes effect at the next
// platform call.
void HostSetDriveC(const char* location);
// Resolves folder paths without openat2 even where the kernel has it.
void HostForceLegacyResolve(bool legacy);

// What became of drive C, as the host program's exit status tells a
// script (the sysexits values). The updates' own results are not in it.
enum DriveStatus {
  kDriveDone = 0,
  kDriveUnusable = 65,   // no FAT volume that can be drive C, or a format
                         // that cannot be written in place
  kDriveMissing = 66,    // the location names nothing, or drive C holds no
                         // Windows directory
  kDriveNoHelper = 69,   // mtools, QEMU's tools or FUSE missing or unusable
  kDriveNoJournal = 73,  // no journal can be made beside the image
  kDriveNotStored = 74,  // the changes wait in the journal for the next run
  kDriveInUse = 75,      // another process uses the image: try again later
};
// Records why drive C could not be used, or not wholly; the first stays.
void ReportDrive(DriveStatus status);
// Lets go of drive C, committing an image's changes (or discarding them
// after an interrupt), and returns the exit status: 128 and the signal
// after an interrupt, else the first reported status, else 0.
int HostReleaseDriveC();

enum EntryKind { kEntryMissing, kEntryFile, kEntryFolder, kEntryOther };

// What the Windows operations need of a drive. Paths are relative to its
// root ("" for the root), components joined by '/', each spelled as the
// entry is stored (as MapWindowsPath finds it).
struct DriveBackend {
  // Starts on the folder or image at `location`; false when it cannot
  // hold drive C, and then every operation fails.
  bool (*attach)(const char* location);
  void (*detach)();
  // The names in a folder, sorted in byte order; false if it is none.
  bool (*list)(const std::string& folder, std::vector<std::string>* names);
  // The short (8.3) alias of entry `name` of `folder`, whose entries are
  // `names`; empty when there is none.
  std::string (*alias)(const std::string& folder,
                       const std::vector<std::string>& names,
                       const std::string& name);
  EntryKind (*kind)(const std::string& path);
  // A descriptor to read a regular file from its start; -1 on failure,
  // with errno ENOENT when it is missing.
  int (*open_read)(const std::string& path);
  // A descriptor to write a file's new content from empty; -1 on
  // failure. `pending` receives what close_write needs to store it.
  int (*open_write)(const std::string& path, std::string* pending);
  // Closes a descriptor from open_write; true when the content is stored.
  bool (*close_write)(int fd, const std::string& pending,
                      const std::string& path);
  // Replaces (or creates) file `to` with a copy of file `from`; the target
  // is never a link, a folder or a device.
  bool (*copy)(const std::string& from, const std::string& to);
  // Deletes a file (a link itself); never a folder.
  bool (*remove)(const std::string& path);
};

// The back end holding the chosen drive C, attached at its first use.
const DriveBackend& Drive();

enum MapResult {
  kMapped,
  kMapMissing,  // a component does not exist, or another drive
  kMapInvalid,  // not a path on drive C that may be used: "..", "."
};

// One component of a mapped path.
struct PathStep {
  std::string given;   // as the Windows path spelled it
  std::string found;   // the entry it matched, or `given` if missing
  std::string parent;  // the folder it lies in, relative to the drive
};

// Maps a Windows path to a path relative to the drive. A missing last
// component is allowed when `last_may_be_missing`, and keeps its given
// name.
MapResult MapWindowsPath(const char* path, bool last_may_be_missing,
                         std::string* relative,
                         std::vector<PathStep>* steps = nullptr);

// "a/b/c" gives "a/b" and "c"; "c" gives "" and "c".
void SplitRelative(const std::string& relative, std::string* parent,
                   std::string* name);

#endif  // DOSSETUP_PLATFORM_HOST_DRIVE_H_
