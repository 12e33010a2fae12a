// What the Windows calls need of a drive, whichever back end holds it: a
// folder (folder.h) or a FAT volume inside a disk image (image.h). Each
// open drive is a handle that every operation receives. Paths
// are relative to the drive's root ("" for the root), components joined
// by '/', each spelled as the entry is stored.
#ifndef DOSSETUP_PLATFORM_HOST_DRIVE_BACKEND_H_
#define DOSSETUP_PLATFORM_HOST_DRIVE_BACKEND_H_

#include <string>
#include <vector>

#include "platform/host/drive/status.h"

enum EntryKind { kEntryMissing, kEntryFile, kEntryFolder, kEntryOther };

struct DriveBackend;

// One open drive: its back end, and that back end's own state after it.
struct Drive {
  const DriveBackend* ops = nullptr;
  // What a helper said of the last operation that failed, if it said
  // anything; else errno tells.
  std::string complaint;
};

struct DriveBackend {
  // Opens the folder or image at `location`, to be changed or only read.
  // Null when it cannot hold drive C, with the status and reason in
  // `problem`.
  Drive* (*attach)(const char* location, bool read_only, DriveProblem* problem);
  // Releases the drive, storing its changes; `problem` receives what kept
  // them from being stored, if anything did.
  void (*detach)(Drive* drive, DriveProblem* problem);
  // The names in a folder, sorted in byte order; false if it is none.
  bool (*list)(Drive* drive, const std::string& folder,
               std::vector<std::string>* names);
  // The short (8.3) alias of entry `name` of `folder`, whose entries are
  // `names`; empty when there is none.
  std::string (*alias)(Drive* drive, const std::string& folder,
                       const std::vector<std::string>& names,
                       const std::string& name);
  EntryKind (*kind)(Drive* drive, const std::string& path);
  // A descriptor to read a regular file from its start; -1 on failure,
  // with errno ENOENT when it is missing.
  int (*open_read)(Drive* drive, const std::string& path);
  // A descriptor to write a file's new content from empty; -1 on
  // failure.
  int (*open_write)(Drive* drive, const std::string& path);
  // Closes a descriptor from open_write; true when the content is stored.
  bool (*close_write)(Drive* drive, int fd, const std::string& path);
  // Replaces (or creates) file `to` with a copy of file `from`; the target
  // is never a link, a folder or a device. Calls CopyCrashPoint once the
  // copy's bytes are ready and before the target is replaced.
  bool (*copy)(Drive* drive, const std::string& from, const std::string& to);
  // Deletes a file (a link itself); never a folder.
  bool (*remove)(Drive* drive, const std::string& path);
};

// Set by fault injection to end the process inside a copy; null otherwise.
extern void (*copy_crash_hook)();
inline void CopyCrashPoint() {
  if (copy_crash_hook) copy_crash_hook();
}

// "a/b/c" gives "a/b" and "c"; "c" gives "" and "c".
void SplitRelative(const std::string& relative, std::string* parent,
                   std::string* name);
// The reverse: "" and "c" give "c".
std::string JoinRelative(const std::string& parent, const std::string& name);

#endif  // DOSSETUP_PLATFORM_HOST_DRIVE_BACKEND_H_
