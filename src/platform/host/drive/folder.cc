#include "platform/host/drive/folder.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>

#include "helpers/io.h"
#include "platform/host/drive/short_name.h"

namespace {

struct FolderDrive : Drive {
  int root_fd = -1;
  bool have_openat2 = false;
};

FolderDrive* Self(Drive* drive) {
  return static_cast<FolderDrive*>(drive);
}

bool force_legacy = false;

long CallOpenat2(int dir, const char* path, int flags, mode_t mode) {
  struct open_how how = {};
  how.flags = static_cast<unsigned long long>(flags | O_CLOEXEC);
  if (flags & O_CREAT) how.mode = mode;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  return syscall(SYS_openat2, dir, path, &how, sizeof how);
}

// Changes go straight into the folder, file by file, so a run that only
// reads simply never writes.
Drive* Attach(const char* location, bool, DriveProblem* problem) {
  int root_fd = open(location, O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (root_fd < 0) {
    problem->status = kDriveMissing;
    problem->why = strerror(errno);
    return nullptr;
  }
  FolderDrive* drive = new FolderDrive;
  drive->ops = &kFolderDrive;
  drive->root_fd = root_fd;
  long probe = CallOpenat2(root_fd, ".", O_PATH, 0);
  drive->have_openat2 = probe >= 0;
  if (probe >= 0) close(static_cast<int>(probe));
  return drive;
}

void Detach(Drive* drive, DriveProblem*) {
  close(Self(drive)->root_fd);
  delete Self(drive);
}

// Without openat2: walk the components one at a time and refuse every
// symbolic link, which can never lead outside.
int OpenLegacy(const FolderDrive* drive, const std::string& relative, int flags,
               mode_t mode) {
  std::string parent, name;
  SplitRelative(relative, &parent, &name);
  int dir = dup(drive->root_fd);
  if (dir < 0) return -1;
  size_t at = 0;
  while (at < parent.size()) {
    size_t slash = parent.find('/', at);
    if (slash == std::string::npos) slash = parent.size();
    std::string component = parent.substr(at, slash - at);
    int next = openat(dir, component.c_str(),
                      O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    close(dir);
    if (next < 0) return -1;
    dir = next;
    at = slash + 1;
  }
  int fd = openat(dir, name.empty() ? "." : name.c_str(),
                  flags | O_NOFOLLOW | O_CLOEXEC, mode);
  int saved = errno;
  close(dir);
  errno = saved;
  return fd;
}

// open() relative to the folder, never leaving it. -1 with errno set on
// failure (EXDEV or ELOOP where a link leads outside).
int OpenBeneath(const FolderDrive* drive, const std::string& relative,
                int flags, mode_t mode = 0) {
  if (force_legacy || !drive->have_openat2) {
    return OpenLegacy(drive, relative, flags, mode);
  }
  const char* path = relative.empty() ? "." : relative.c_str();
  return static_cast<int>(CallOpenat2(drive->root_fd, path, flags, mode));
}

// Opens a regular file for reading, or for writing (created if missing,
// then emptied). Never empties a file that other names share (a hard
// link, perhaps to a file outside): such a name is replaced by a new file.
int OpenFileBeneath(const FolderDrive* drive, const std::string& relative,
                    bool for_writing) {
  int flags = (for_writing ? O_WRONLY | O_CREAT : O_RDONLY) | O_NONBLOCK;
  int fd = OpenBeneath(drive, relative, flags, 0666);
  if (fd < 0) return -1;
  struct stat st = {};
  bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (regular && for_writing && st.st_nlink > 1) {
    // Emptying it would empty every other name of it too.
    close(fd);
    std::string parent, name;
    SplitRelative(relative, &parent, &name);
    int folder = OpenBeneath(drive, parent, O_RDONLY | O_DIRECTORY);
    if (folder < 0) return -1;
    bool unlinked = unlinkat(folder, name.c_str(), 0) == 0;
    fd = unlinked ? openat(folder, name.c_str(),
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW |
                               O_NONBLOCK | O_CLOEXEC,
                           0666)
                  : -1;
    close(folder);
    if (fd < 0) return -1;
  } else if (!regular) {
    bool folder = S_ISDIR(st.st_mode);
    close(fd);
    errno = folder ? EISDIR : EINVAL;
    return -1;
  }
  if ((for_writing && ftruncate(fd, 0) != 0) ||
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool List(Drive* drive, const std::string& relative,
          std::vector<std::string>* names) {
  names->clear();
  int fd = OpenBeneath(Self(drive), relative, O_RDONLY | O_DIRECTORY);
  if (fd < 0) return false;
  DIR* dir = fdopendir(fd);
  if (!dir) {
    close(fd);
    return false;
  }
  while (struct dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names->push_back(name);
  }
  closedir(dir);
  std::sort(names->begin(), names->end());
  return true;
}

std::string Alias(Drive*, const std::string&,
                  const std::vector<std::string>& names,
                  const std::string& name) {
  return ShortAlias(names, name);
}

// Links are followed only while they stay inside the folder.
EntryKind Kind(Drive* drive, const std::string& relative) {
  int fd = OpenBeneath(Self(drive), relative, O_PATH);
  if (fd < 0) return kEntryMissing;
  struct stat st;
  EntryKind kind = fstat(fd, &st) != 0   ? kEntryMissing
                   : S_ISDIR(st.st_mode) ? kEntryFolder
                   : S_ISREG(st.st_mode) ? kEntryFile
                                         : kEntryOther;
  close(fd);
  return kind;
}

int OpenRead(Drive* drive, const std::string& relative) {
  return OpenFileBeneath(Self(drive), relative, false);
}

int OpenWrite(Drive* drive, const std::string& relative) {
  return OpenFileBeneath(Self(drive), relative, true);
}

bool CloseWrite(Drive*, int fd, const std::string&) {
  return close(fd) == 0;
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
    if (!WriteAll(out, block, static_cast<size_t>(count))) return false;
  }
}

// A copy cut short before its rename (the power lost) leaves its new
// file. Those names are this program's own, so the next copy to the same
// target removes them first.
void RemoveCutCopies(int folder, const std::string& name) {
  std::string prefix = "." + name + ".dossetup-";
  int fd = dup(folder);
  DIR* dir = fd >= 0 ? fdopendir(fd) : nullptr;
  if (!dir) {
    if (fd >= 0) close(fd);
    return;
  }
  std::vector<std::string> cut;
  while (struct dirent* entry = readdir(dir)) {
    if (strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0) {
      cut.push_back(entry->d_name);
    }
  }
  closedir(dir);
  for (const std::string& left : cut) {
    struct stat st;
    if (fstatat(folder, left.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(st.st_mode)) {
      unlinkat(folder, left.c_str(), 0);
    }
  }
}

// The copy goes to a new file beside the target and is renamed over it,
// so the target holds its old bytes or its new ones at every instant.
bool Copy(Drive* self, const std::string& from, const std::string& to) {
  const FolderDrive* drive = Self(self);
  std::string parent, name;
  SplitRelative(to, &parent, &name);
  int source = OpenFileBeneath(drive, from, false);
  int folder = OpenBeneath(drive, parent, O_RDONLY | O_DIRECTORY);
  struct stat source_stat, target_stat;
  bool ok = source >= 0 && folder >= 0 && !name.empty() &&
            fstat(source, &source_stat) == 0;
  mode_t mode = ok ? source_stat.st_mode & 07777 : 0;
  if (ok &&
      fstatat(folder, name.c_str(), &target_stat, AT_SYMLINK_NOFOLLOW) == 0) {
    // Never write through or replace a link, a folder or a device.
    ok = S_ISREG(target_stat.st_mode);
    mode = target_stat.st_mode & 07777;
  }

  if (ok) RemoveCutCopies(folder, name);
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
  // After the data and before the rename: a crash here must leave the
  // target whole.
  CopyCrashPoint();
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
  return ok;
}

// Like Windows, a link goes itself and a folder is refused.
bool Remove(Drive* drive, const std::string& relative) {
  std::string parent, name;
  SplitRelative(relative, &parent, &name);
  int folder = OpenBeneath(Self(drive), parent, O_RDONLY | O_DIRECTORY);
  if (folder < 0) return false;
  struct stat st;
  bool ok = !name.empty() &&
            fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            !S_ISDIR(st.st_mode) && unlinkat(folder, name.c_str(), 0) == 0;
  close(folder);
  return ok;
}

}  // namespace

void HostForceLegacyResolve(bool legacy) {
  force_legacy = legacy;
}

const DriveBackend kFolderDrive = {
    Attach,   Detach,    List,       Alias, Kind,
    OpenRead, OpenWrite, CloseWrite, Copy,  Remove,
};
