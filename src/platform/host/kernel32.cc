// kernel32's calls and the file streams (platform.h) on a host without
// Win32, over drive C, whichever back end holds it (drive/drive_c.h). Each
// counts its use for fault injection (faults.h), and tells the file's
// watch what it did (outcomes.h). After an interrupt
// (diskimage/interrupts.h) every call that would start a new step fails;
// deleting and closing go on, so that a temporary file is still cleaned up.
#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "diskimage/engine/interrupts.h"
#include "helpers/io.h"
#include "platform/host/drive/drive_c.h"
#include "platform/host/drive/short_name.h"
#include "platform/host/faults.h"
#include "platform/host/outcomes.h"
#include "platform/host/profile.h"
#include "platform/host/windows_path.h"
#include "platform/platform.h"

namespace {

const char kMsdosSys[] = "C:\\MSDOS.SYS";
const char kDefaultWindows[] = "C:\\WINDOWS";
const size_t kReadLimit = 1 << 20;

// Win32's contract for a query: the length copied, or the size needed
// (terminator included) when the buffer is too small.
DWORD CopyResult(const std::string& text, char* buffer, DWORD size) {
  if (text.size() + 1 > size) return static_cast<DWORD>(text.size() + 1);
  memcpy(buffer, text.c_str(), text.size() + 1);
  return static_cast<DWORD>(text.size());
}

// The whole text of a file of the drive, given by Windows path, read up to
// a limit that no real profile reaches. False when it cannot be read.
bool ReadDriveFile(const char* windows_path, std::string* text) {
  text->clear();
  std::string relative;
  if (MapWindowsPath(windows_path, false, &relative) != kMapped) return false;
  Drive* drive = OpenDriveC();
  int fd = drive->ops->open_read(drive, relative);
  if (fd < 0) return false;
  char buffer[16 * 1024];
  bool ok = true;
  while (text->size() < kReadLimit) {
    ssize_t count = read(fd, buffer, sizeof buffer);
    if (count < 0) ok = false;
    if (count <= 0) break;
    text->append(buffer, static_cast<size_t>(count));
  }
  close(fd);
  return ok;
}

EntryKind Kind(const std::string& relative) {
  Drive* drive = OpenDriveC();
  return drive->ops->kind(drive, relative);
}

bool IsDirectory(const std::string& relative) {
  return Kind(relative) == kEntryFolder;
}

// Why the last operation on drive C failed: what its helper said, else
// errno's text.
std::string Reason() {
  Drive* drive = OpenDriveC();
  std::string why =
      drive->complaint.empty() ? strerror(errno) : drive->complaint;
  drive->complaint.clear();
  return why;
}

// A failed call of the seam's own (an interrupt, an injected fault, a path
// that maps to nothing) tells its reason here.
void FailWith(int error) {
  errno = error;
  OpenDriveC()->complaint.clear();
}

// Whether `windows_path` is a folder of drive C.
bool IsFolder(const std::string& windows_path) {
  std::string relative;
  return MapWindowsPath(windows_path.c_str(), false, &relative) == kMapped &&
         IsDirectory(relative);
}

// Windows 95 keeps its directory in MSDOS.SYS; without it, C:\WINDOWS.
// A drive without that folder holds no Windows directory, which the exit
// status tells.
bool WindowsDirectory(std::string* directory) {
  std::string text;
  if (ReadDriveFile(kMsdosSys, &text) &&
      FindIniValue(text, "Paths", "WinDir", directory) && !directory->empty()) {
    if (!IsFolder(*directory)) {
      ReportDrive(kDriveMissing,
                  "the Windows directory " + *directory +
                      " that C:\\MSDOS.SYS names does not exist");
    }
    return true;
  }
  if (IsFolder(kDefaultWindows)) {
    *directory = kDefaultWindows;
    return true;
  }
  ReportDrive(kDriveMissing,
              "no Windows directory: no C:\\MSDOS.SYS naming "
              "one, and no C:\\WINDOWS");
  return false;
}

}  // namespace

UINT GetWindowsDirectoryA(LPSTR buffer, UINT size) {
  if (InterruptSignal() || FaultHit(kFaultWindowsDirectory)) return 0;
  std::string directory;
  if (!WindowsDirectory(&directory)) return 0;
  return CopyResult(directory, buffer, size);
}

UINT GetSystemDirectoryA(LPSTR buffer, UINT size) {
  if (InterruptSignal() || FaultHit(kFaultSystemDirectory)) return 0;
  std::string directory;
  if (!WindowsDirectory(&directory)) return 0;
  if (directory.back() != '\\') directory += '\\';
  directory += "SYSTEM";
  if (!IsFolder(directory)) {
    ReportDrive(kDriveMissing,
                "the system directory " + directory + " does not exist");
  }
  return CopyResult(directory, buffer, size);
}

DWORD GetShortPathNameA(LPCSTR long_path, LPSTR short_path, DWORD size) {
  if (InterruptSignal() || FaultHit(kFaultShortPath)) return 0;
  std::string relative;
  std::vector<PathStep> steps;
  if (MapWindowsPath(long_path, false, &relative, &steps) != kMapped) {
    return 0;
  }
  // The whole path must be reachable inside the drive, links included.
  if (Kind(relative) == kEntryMissing) return 0;
  std::string result(long_path, 2);
  for (const PathStep& step : steps) {
    result += '\\';
    if (IsValidShortName(step.given)) {
      result += step.given;
    } else {
      std::vector<std::string> folder;
      Drive* drive = OpenDriveC();
      if (!drive->ops->list(drive, step.parent, &folder)) return 0;
      std::string alias =
          drive->ops->alias(drive, step.parent, folder, step.found);
      if (alias.empty()) return 0;
      result += alias;
    }
  }
  size_t length = strlen(long_path);
  bool trailing = length > 2 && (long_path[length - 1] == '\\' ||
                                 long_path[length - 1] == '/');
  if (steps.empty() || trailing) result += '\\';
  return CopyResult(result, short_path, size);
}

DWORD GetProfileStringA(LPCSTR section, LPCSTR key, LPCSTR default_value,
                        LPSTR buffer, DWORD size) {
  if (size == 0) return 0;
  buffer[0] = '\0';
  if (InterruptSignal() || FaultHit(kFaultProfile)) return 0;
  std::string value = default_value ? default_value : "";
  std::string directory;
  std::string text;
  // Listing sections or keys (a null name) is not needed here.
  if (section && key && WindowsDirectory(&directory)) {
    if (directory.back() != '\\') directory += '\\';
    std::string found;
    if (ReadDriveFile((directory + "WIN.INI").c_str(), &text) &&
        FindIniValue(text, section, key, &found)) {
      value = Unquote(found);
    }
  }
  size_t count = value.size() < size - 1 ? value.size() : size - 1;
  memcpy(buffer, value.data(), count);
  buffer[count] = '\0';
  return static_cast<DWORD>(count);
}

// A run that only reads writes nothing: the temporary file's bytes go to
// the watch alone (outcomes.h), and copying and deleting succeed as they
// would.
bool DryRun() {
  return HostDriveCReadOnly();
}

BOOL CopyFileA(LPCSTR existing, LPCSTR new_file, BOOL fail_if_exists) {
  // Counted on every call; an armed crash waits inside the back end's copy.
  bool failed = FaultHit(kFaultCopy);
  std::string source;
  std::string target;
  Drive* drive = OpenDriveC();
  if (failed || InterruptSignal() ||
      MapWindowsPath(existing, DryRun(), &source) != kMapped ||
      MapWindowsPath(new_file, true, &target) != kMapped) {
    FailWith(failed ? EIO : InterruptSignal() ? EINTR : ENOENT);
    NoteFailure(std::string("cannot be replaced: ") + Reason());
    return FALSE;
  }
  EntryKind kind = Kind(target);
  if ((fail_if_exists && kind != kEntryMissing) ||
      (DryRun() && kind != kEntryMissing && kind != kEntryFile)) {
    FailWith(EEXIST);
    NoteFailure(std::string("cannot be replaced: ") + Reason());
    return FALSE;
  }
  int old_fd = KeepingTexts() && kind == kEntryFile
                   ? drive->ops->open_read(drive, target)
                   : -1;
  // A dry run's temporary file was never made.
  bool copied = DryRun() || drive->ops->copy(drive, source, target);
  if (copied) {
    NoteReplaced(old_fd);
  } else {
    NoteFailure(std::string("cannot be replaced: ") + Reason());
  }
  if (old_fd >= 0) close(old_fd);
  return copied ? TRUE : FALSE;
}

BOOL DeleteFileA(LPCSTR path) {
  bool failed = FaultHit(kFaultDelete);
  std::string relative;
  if (!failed && DryRun()) return TRUE;
  if (failed || MapWindowsPath(path, false, &relative) != kMapped) {
    FailWith(failed ? EIO : ENOENT);
  } else {
    Drive* drive = OpenDriveC();
    if (drive->ops->remove(drive, relative)) return TRUE;
  }
  NoteFailure(std::string(path) + " cannot be deleted: " + Reason());
  return FALSE;
}

struct PlatformFile {
  int fd;  // -1 for a dry run's temporary file
  bool writing;
  std::string relative;  // for writing: where the content is stored
  std::string path;      // as the program named it
};

OpenResult FileOpenRead(const char* path, PlatformFile** file) {
  *file = nullptr;
  bool interrupted = InterruptSignal() != 0;
  bool failed = !interrupted && FaultHit(kFaultOpenRead);
  std::string relative;
  MapResult mapped = kMapMissing;
  int fd = -1;
  if (failed || interrupted) {
    FailWith(failed ? EIO : EINTR);
  } else if ((mapped = MapWindowsPath(path, false, &relative)) == kMapMissing) {
    NoteMissing(path);
    return kMissing;
  } else if (mapped != kMapped) {
    FailWith(ENOENT);
  } else {
    Drive* drive = OpenDriveC();
    fd = drive->ops->open_read(drive, relative);
    if (fd < 0 && errno == ENOENT) {
      NoteMissing(path);
      return kMissing;
    }
  }
  if (fd < 0) {
    NoteFailure(std::string("cannot be read: ") + Reason());
    return kOpenFailed;
  }
  *file = new PlatformFile{fd, false, relative, path};
  return kOpened;
}

PlatformFile* FileOpenWrite(const char* path) {
  bool interrupted = InterruptSignal() != 0;
  bool failed = !interrupted && FaultHit(kFaultOpenWrite);
  std::string relative;
  int fd = -1;
  if (failed || interrupted) {
    FailWith(failed ? EIO : EINTR);
  } else if (MapWindowsPath(path, true, &relative) != kMapped) {
    FailWith(ENOENT);
  } else if (DryRun()) {
    EntryKind kind = Kind(relative);
    if (kind == kEntryMissing || kind == kEntryFile) {
      return new PlatformFile{-1, true, relative, path};
    }
    FailWith(EISDIR);
  } else {
    Drive* drive = OpenDriveC();
    fd = drive->ops->open_write(drive, relative);
    if (fd >= 0) return new PlatformFile{fd, true, relative, path};
  }
  NoteFailure(std::string(path) + " cannot be written: " + Reason());
  return nullptr;
}

long FileRead(PlatformFile* file, char* buffer, size_t size) {
  if (FaultHit(kFaultRead)) {
    FailWith(EIO);
  } else {
    for (;;) {
      ssize_t count = read(file->fd, buffer, size);
      if (count >= 0) {
        NoteRead(buffer, static_cast<size_t>(count));
        return count;
      }
      if (errno != EINTR) break;
    }
  }
  NoteFailure(std::string("cannot be read: ") + Reason());
  return -1;
}

bool FileWrite(PlatformFile* file, const char* data, size_t size) {
  if (FaultHit(kFaultWrite)) {
    FailWith(EIO);
    NoteFailure(file->path + " cannot be written: " + Reason());
    return false;
  }
  NoteWrite(data, size);
  if (file->fd >= 0 && !WriteAll(file->fd, data, size)) {
    NoteFailure(file->path + " cannot be written: " + Reason());
    return false;
  }
  return true;
}

bool FileClose(PlatformFile* file) {
  bool failed = FaultHit(kFaultClose);
  // Content written is stored only while no interrupt is waiting.
  bool store = file->writing && !InterruptSignal();
  bool ok;
  if (file->fd < 0) {
    ok = store;  // a dry run's temporary file
  } else if (store) {
    Drive* drive = OpenDriveC();
    ok = drive->ops->close_write(drive, file->fd, file->relative);
  } else {
    ok = close(file->fd) == 0 && !file->writing;
  }
  if (failed) FailWith(EIO);
  if (file->writing && (!ok || failed)) {
    if (!store) FailWith(EINTR);
    NoteFailure(file->path + " cannot be written: " + Reason());
  }
  delete file;
  return ok && !failed;
}
