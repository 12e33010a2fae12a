// The host's drive C: a folder, and Windows paths mapped onto it.
//
// Windows paths name files without regard to case, so each component
// matches an existing entry exactly, else without regard to ASCII case
// (the first in byte order when several match), else by its short alias.
// Only drive C exists.
//
// Nothing outside the folder is ever reached: a ".." component fails, and
// every open resolves beneath the folder (openat2 with RESOLVE_BENEATH;
// where the kernel lacks it, no symbolic link is followed at all).
#ifndef DOSSETUP_PLATFORM_HOST_DRIVE_H_
#define DOSSETUP_PLATFORM_HOST_DRIVE_H_

#include <sys/types.h>

#include <string>
#include <vector>

// Chooses the folder for drive C; null means DOSSETUP_DRIVE_C, else the
// current directory. Takes effect at the next platform call.
void HostSetDriveC(const char* folder);
// Resolves without openat2 even where the kernel has it.
void HostForceLegacyResolve(bool legacy);

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

// Maps a Windows path to a path relative to the drive folder ("" for the
// folder itself, components joined by '/'). A missing last component is
// allowed when `last_may_be_missing`, and keeps its given name.
MapResult MapWindowsPath(const char* path, bool last_may_be_missing,
                         std::string* relative,
                         std::vector<PathStep>* steps = nullptr);

// open() relative to the drive folder, never leaving it. -1 with errno
// set on failure (EXDEV or ELOOP where a link leads outside).
int OpenBeneath(const std::string& relative, int flags, mode_t mode = 0);

// Opens a regular file beneath the drive for reading, or for writing
// (created if missing, then emptied). Never blocks on a FIFO or device and
// never empties a file that other names share (a hard link, perhaps to a
// file outside): such a name is replaced by a new file. -1 on failure.
int OpenFileBeneath(const std::string& relative, bool for_writing);

// The names in a folder of the drive, sorted in byte order.
bool ListDirectory(const std::string& relative,
                   std::vector<std::string>* names);

// "a/b/c" gives "a/b" and "c"; "c" gives "" and "c".
void SplitRelative(const std::string& relative, std::string* parent,
                   std::string* name);

#endif  // DOSSETUP_PLATFORM_HOST_DRIVE_H_
