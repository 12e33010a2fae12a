// Windows paths on drive C mapped to paths relative to the drive's root,
// as the back end stores them (drive/backend.h).
//
// Windows paths name files without regard to case, so each component
// matches an existing entry exactly, else without regard to ASCII case
// (the first in byte order when several match), else by its short alias.
// Only drive C exists, and no "." or ".." component is accepted.
#ifndef DOSSETUP_PLATFORM_HOST_WINDOWS_PATH_H_
#define DOSSETUP_PLATFORM_HOST_WINDOWS_PATH_H_

#include <string>
#include <vector>

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

#endif  // DOSSETUP_PLATFORM_HOST_WINDOWS_PATH_H_
