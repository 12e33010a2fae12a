// kernel32's calls and the file streams (platform.h) on a host without
// Win32, over drive C, whichever back end holds it (drive/drive_c.h). Each
// counts its use for fault injection (faults.h). After an interrupt
// (diskimage/interrupts.h) every call that would start a new step fails;
// deleting and closing go on, so that a temporary file is still cleaned up.
#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "diskimage/interrupts.h"
#include "platform/host/drive/drive_c.h"
#include "platform/host/drive/short_name.h"
#include "platform/host/faults.h"
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
  int fd = OpenDriveC().open_read(relative);
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

bool IsDirectory(const std::string& relative) {
  return OpenDriveC().kind(relative) == kEntryFolder;
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
    if (!IsFolder(*directory)) ReportDrive(kDriveMissing);
    return true;
  }
  if (IsFolder(kDefaultWindows)) {
    *directory = kDefaultWindows;
    return true;
  }
  ReportDrive(kDriveMissing);
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
  if (!IsFolder(directory)) ReportDrive(kDriveMissing);
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
  if (OpenDriveC().kind(relative) == kEntryMissing) return 0;
  std::string result(long_path, 2);
  for (const PathStep& step : steps) {
    result += '\\';
    if (IsValidShortName(step.given)) {
      result += step.given;
    } else {
      std::vector<std::string> folder;
      if (!OpenDriveC().list(step.parent, &folder)) return 0;
      std::string alias = OpenDriveC().alias(step.parent, folder, step.found);
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

BOOL CopyFileA(LPCSTR existing, LPCSTR new_file, BOOL fail_if_exists) {
  // Counted on every call; an armed crash waits inside the back end's copy.
  bool failed = FaultHit(kFaultCopy);
  std::string source;
  std::string target;
  if (failed || InterruptSignal() ||
      MapWindowsPath(existing, false, &source) != kMapped ||
      MapWindowsPath(new_file, true, &target) != kMapped ||
      (fail_if_exists && OpenDriveC().kind(target) != kEntryMissing)) {
    return FALSE;
  }
  return OpenDriveC().copy(source, target) ? TRUE : FALSE;
}

BOOL DeleteFileA(LPCSTR path) {
  if (FaultHit(kFaultDelete)) return FALSE;
  std::string relative;
  if (MapWindowsPath(path, false, &relative) != kMapped) return FALSE;
  return OpenDriveC().remove(relative) ? TRUE : FALSE;
}

struct PlatformFile {
  int fd;
  bool writing;
  std::string relative;  // for writing: where the content is stored
};

OpenResult FileOpenRead(const char* path, PlatformFile** file) {
  *file = nullptr;
  if (InterruptSignal() || FaultHit(kFaultOpenRead)) return kOpenFailed;
  std::string relative;
  MapResult mapped = MapWindowsPath(path, false, &relative);
  if (mapped == kMapMissing) return kMissing;
  if (mapped != kMapped) return kOpenFailed;
  int fd = OpenDriveC().open_read(relative);
  if (fd < 0) return errno == ENOENT ? kMissing : kOpenFailed;
  *file = new PlatformFile{fd, false, relative};
  return kOpened;
}

PlatformFile* FileOpenWrite(const char* path) {
  if (InterruptSignal() || FaultHit(kFaultOpenWrite)) return nullptr;
  std::string relative;
  if (MapWindowsPath(path, true, &relative) != kMapped) return nullptr;
  int fd = OpenDriveC().open_write(relative);
  if (fd < 0) return nullptr;
  return new PlatformFile{fd, true, relative};
}

long FileRead(PlatformFile* file, char* buffer, size_t size) {
  if (FaultHit(kFaultRead)) return -1;
  for (;;) {
    ssize_t count = read(file->fd, buffer, size);
    if (count >= 0 || errno != EINTR) return count;
  }
}

bool FileWrite(PlatformFile* file, const char* data, size_t size) {
  if (FaultHit(kFaultWrite)) return false;
  while (size > 0) {
    ssize_t count = write(file->fd, data, size);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    data += count;
    size -= static_cast<size_t>(count);
  }
  return true;
}

bool FileClose(PlatformFile* file) {
  bool failed = FaultHit(kFaultClose);
  // Content written is stored only while no interrupt is waiting.
  bool store = file->writing && !InterruptSignal();
  bool ok = store ? OpenDriveC().close_write(file->fd, file->relative)
                  : close(file->fd) == 0 && !file->writing;
  delete file;
  return ok && !failed;
}
