// The Windows operations on a host without Win32, over the drive C folder
// (drive.h). Each counts its use for fault injection (faults.h).
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/host/drive.h"
#include "platform/host/faults.h"
#include "platform/host/ini.h"
#include "platform/host/names.h"
#include "platform/platform.h"

namespace {

const char kMsdosSys[] = "C:\\MSDOS.SYS";
const char kDefaultWindows[] = "C:\\WINDOWS";

// Win32's contract for a query: the length copied, or the size needed
// (terminator included) when the buffer is too small.
DWORD CopyResult(const std::string& text, char* buffer, DWORD size) {
  if (text.size() + 1 > size) return static_cast<DWORD>(text.size() + 1);
  memcpy(buffer, text.c_str(), text.size() + 1);
  return static_cast<DWORD>(text.size());
}

bool IsDirectory(const std::string& relative) {
  int fd = OpenBeneath(relative, O_PATH | O_DIRECTORY);
  if (fd < 0) return false;
  close(fd);
  return true;
}

// Windows 95 keeps its directory in MSDOS.SYS; without it, C:\WINDOWS.
bool WindowsDirectory(std::string* directory) {
  std::string text;
  if (ReadDriveFile(kMsdosSys, &text) &&
      FindIniValue(text, "Paths", "WinDir", directory) && !directory->empty()) {
    return true;
  }
  std::string relative;
  if (MapWindowsPath(kDefaultWindows, false, &relative) == kMapped &&
      IsDirectory(relative)) {
    *directory = kDefaultWindows;
    return true;
  }
  return false;
}

// Copies all of `source` to `out`, in the kernel where it can.
bool CopyContents(int source, int out) {
  for (;;) {
    ssize_t count = copy_file_range(source, nullptr, out, nullptr, 1 << 30, 0);
    if (count == 0) return true;
    if (count < 0) break;
  }
  // Not between these two files (another file system, an old kernel):
  // copy by hand from where the kernel stopped.
  char block[128 * 1024];
  for (;;) {
    ssize_t count = read(source, block, sizeof block);
    if (count <= 0) return count == 0;
    for (ssize_t done = 0; done < count;) {
      ssize_t wrote =
          write(out, block + done, static_cast<size_t>(count - done));
      if (wrote <= 0) return false;
      done += wrote;
    }
  }
}

}  // namespace

UINT GetWindowsDirectoryA(LPSTR buffer, UINT size) {
  if (FaultHit(kFaultWindowsDirectory)) return 0;
  std::string directory;
  if (!WindowsDirectory(&directory)) return 0;
  return CopyResult(directory, buffer, size);
}

UINT GetSystemDirectoryA(LPSTR buffer, UINT size) {
  if (FaultHit(kFaultSystemDirectory)) return 0;
  std::string directory;
  if (!WindowsDirectory(&directory)) return 0;
  if (directory.back() != '\\') directory += '\\';
  return CopyResult(directory + "SYSTEM", buffer, size);
}

DWORD GetShortPathNameA(LPCSTR long_path, LPSTR short_path, DWORD size) {
  if (FaultHit(kFaultShortPath)) return 0;
  std::string relative;
  std::vector<PathStep> steps;
  if (MapWindowsPath(long_path, false, &relative, &steps) != kMapped) {
    return 0;
  }
  // The whole path must be reachable inside the drive, links included.
  int fd = OpenBeneath(relative, O_PATH);
  if (fd < 0) return 0;
  close(fd);
  std::string result(long_path, 2);
  for (const PathStep& step : steps) {
    result += '\\';
    if (IsValidShortName(step.given)) {
      result += step.given;
    } else {
      std::vector<std::string> folder;
      if (!ListDirectory(step.parent, &folder)) return 0;
      result += ShortAlias(folder, step.found);
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
  if (FaultHit(kFaultProfile)) return 0;
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
  std::string source_relative;
  std::string target_relative;
  if (MapWindowsPath(existing, false, &source_relative) != kMapped ||
      MapWindowsPath(new_file, true, &target_relative) != kMapped) {
    FaultHit(kFaultCopy);
    return FALSE;
  }
  std::string parent, name;
  SplitRelative(target_relative, &parent, &name);
  int source = OpenFileBeneath(source_relative, false);
  int folder = OpenBeneath(parent, O_RDONLY | O_DIRECTORY);
  struct stat source_stat, target_stat;
  bool ok = source >= 0 && folder >= 0 && !name.empty() &&
            fstat(source, &source_stat) == 0;
  mode_t mode = ok ? source_stat.st_mode & 07777 : 0;
  if (ok &&
      fstatat(folder, name.c_str(), &target_stat, AT_SYMLINK_NOFOLLOW) == 0) {
    // Never write through or replace a link, a folder or a device.
    ok = !fail_if_exists && S_ISREG(target_stat.st_mode);
    mode = target_stat.st_mode & 07777;
  }

  // The copy goes to a new file beside the target and is renamed over it,
  // so the target holds its old bytes or its new ones at every instant.
  std::string fresh;
  int out = -1;
  for (int attempt = 0; ok && out < 0 && attempt < 100; ++attempt) {
    fresh = "." + name + ".dossetup-" + std::to_string(getpid()) + "-" +
            std::to_string(attempt);
    out = openat(folder, fresh.c_str(),
                 O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (out < 0 && errno != EEXIST) ok = false;
  }
  ok = ok && out >= 0;
  ok = ok && CopyContents(source, out);
  // The fault point lies after the data and before the rename: a crash
  // here must leave the target whole.
  if (FaultHit(kFaultCopy)) ok = false;
  ok = ok && fchmod(out, mode) == 0 && fsync(out) == 0;
  if (out >= 0 && close(out) != 0) ok = false;
  ok = ok && renameat(folder, fresh.c_str(), folder, name.c_str()) == 0;
  if (ok) {
    fsync(folder);
  } else if (out >= 0) {
    unlinkat(folder, fresh.c_str(), 0);
  }
  if (source >= 0) close(source);
  if (folder >= 0) close(folder);
  return ok ? TRUE : FALSE;
}

BOOL DeleteFileA(LPCSTR path) {
  if (FaultHit(kFaultDelete)) return FALSE;
  std::string relative;
  if (MapWindowsPath(path, false, &relative) != kMapped) return FALSE;
  std::string parent, name;
  SplitRelative(relative, &parent, &name);
  int folder = OpenBeneath(parent, O_RDONLY | O_DIRECTORY);
  if (folder < 0) return FALSE;
  // Like Windows, a link goes itself and a folder is refused.
  struct stat st;
  bool ok = !name.empty() &&
            fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            !S_ISDIR(st.st_mode) && unlinkat(folder, name.c_str(), 0) == 0;
  close(folder);
  return ok ? TRUE : FALSE;
}

struct PlatformFile {
  int fd;
};

OpenResult FileOpenRead(const char* path, PlatformFile** file) {
  *file = nullptr;
  if (FaultHit(kFaultOpenRead)) return kOpenFailed;
  std::string relative;
  MapResult mapped = MapWindowsPath(path, false, &relative);
  if (mapped == kMapMissing) return kMissing;
  if (mapped != kMapped) return kOpenFailed;
  int fd = OpenFileBeneath(relative, false);
  if (fd < 0) return errno == ENOENT ? kMissing : kOpenFailed;
  *file = new PlatformFile{fd};
  return kOpened;
}

PlatformFile* FileOpenWrite(const char* path) {
  if (FaultHit(kFaultOpenWrite)) return nullptr;
  std::string relative;
  if (MapWindowsPath(path, true, &relative) != kMapped) return nullptr;
  int fd = OpenFileBeneath(relative, true);
  if (fd < 0) return nullptr;
  return new PlatformFile{fd};
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
  bool ok = close(file->fd) == 0 && !failed;
  delete file;
  return ok;
}
