#include "platform/host/drive.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>

#include "platform/host/names.h"

namespace {

std::string chosen_folder;
bool folder_chosen = false;
int root_fd = -1;
bool root_opened = false;
bool have_openat2 = false;
bool force_legacy = false;

long CallOpenat2(int dir, const char* path, int flags, mode_t mode) {
  struct open_how how = {};
  how.flags = static_cast<unsigned long long>(flags | O_CLOEXEC);
  if (flags & O_CREAT) how.mode = mode;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  return syscall(SYS_openat2, dir, path, &how, sizeof how);
}

int RootFd() {
  if (root_opened) return root_fd;
  root_opened = true;
  const char* folder = ".";
  if (folder_chosen) {
    folder = chosen_folder.c_str();
  } else if (const char* env = getenv("DOSSETUP_DRIVE_C")) {
    if (*env) folder = env;
  }
  root_fd = open(folder, O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (root_fd >= 0) {
    long probe = CallOpenat2(root_fd, ".", O_PATH, 0);
    have_openat2 = probe >= 0;
    if (probe >= 0) close(static_cast<int>(probe));
  }
  return root_fd;
}

// Without openat2: walk the components one at a time and refuse every
// symbolic link, which can never lead outside.
int OpenLegacy(const std::string& relative, int flags, mode_t mode) {
  std::string parent, name;
  SplitRelative(relative, &parent, &name);
  int dir = dup(root_fd);
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

// Windows names fold only ASCII letters.
bool SameIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// The entry `name` stands for in folder `parent`, or false.
bool FindEntry(const std::string& parent, const std::string& name,
               std::string* found) {
  std::vector<std::string> names;
  if (!ListDirectory(parent, &names)) return false;
  if (std::binary_search(names.begin(), names.end(), name)) {
    *found = name;
    return true;
  }
  for (const std::string& candidate : names) {
    if (SameIgnoringCase(candidate, name)) {
      *found = candidate;
      return true;
    }
  }
  // A long name can also be reached by its short alias, as the paths this
  // program builds from short directory names are. Every alias holds a '~'.
  if (name.find('~') == std::string::npos) return false;
  for (const std::string& candidate : names) {
    if (!IsValidShortName(candidate) &&
        SameIgnoringCase(ShortAlias(names, candidate), name)) {
      *found = candidate;
      return true;
    }
  }
  return false;
}

std::string Join(const std::string& parent, const std::string& name) {
  return parent.empty() ? name : parent + "/" + name;
}

}  // namespace

void HostSetDriveC(const char* folder) {
  if (root_fd >= 0) close(root_fd);
  root_fd = -1;
  root_opened = false;
  folder_chosen = folder != nullptr;
  chosen_folder = folder ? folder : "";
}

void HostForceLegacyResolve(bool legacy) {
  force_legacy = legacy;
}

int OpenBeneath(const std::string& relative, int flags, mode_t mode) {
  if (RootFd() < 0) {
    errno = ENOENT;
    return -1;
  }
  if (force_legacy || !have_openat2) return OpenLegacy(relative, flags, mode);
  const char* path = relative.empty() ? "." : relative.c_str();
  return static_cast<int>(CallOpenat2(root_fd, path, flags, mode));
}

int OpenFileBeneath(const std::string& relative, bool for_writing) {
  int flags = (for_writing ? O_WRONLY | O_CREAT : O_RDONLY) | O_NONBLOCK;
  int fd = OpenBeneath(relative, flags, 0666);
  if (fd < 0) return -1;
  struct stat st;
  bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (regular && for_writing && st.st_nlink > 1) {
    // Emptying it would empty every other name of it too.
    close(fd);
    std::string parent, name;
    SplitRelative(relative, &parent, &name);
    int folder = OpenBeneath(parent, O_RDONLY | O_DIRECTORY);
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
    close(fd);
    errno = EINVAL;
    return -1;
  }
  if ((for_writing && ftruncate(fd, 0) != 0) ||
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool ListDirectory(const std::string& relative,
                   std::vector<std::string>* names) {
  names->clear();
  int fd = OpenBeneath(relative, O_RDONLY | O_DIRECTORY);
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

void SplitRelative(const std::string& relative, std::string* parent,
                   std::string* name) {
  size_t slash = relative.rfind('/');
  if (slash == std::string::npos) {
    parent->clear();
    *name = relative;
  } else {
    *parent = relative.substr(0, slash);
    *name = relative.substr(slash + 1);
  }
}

MapResult MapWindowsPath(const char* path, bool last_may_be_missing,
                         std::string* relative, std::vector<PathStep>* steps) {
  relative->clear();
  if (steps) steps->clear();
  if (!((path[0] == 'C' || path[0] == 'c') && path[1] == ':')) {
    return kMapMissing;
  }
  // Split first, so that the last component is known while walking.
  std::vector<std::string> components;
  std::string current;
  for (const char* p = path + 2;; ++p) {
    if (*p == '\\' || *p == '/' || *p == '\0') {
      // Repeated backslashes collapse, as Windows does.
      if (!current.empty()) components.push_back(current);
      current.clear();
      if (*p == '\0') break;
    } else {
      current += *p;
    }
  }
  for (size_t i = 0; i < components.size(); ++i) {
    const std::string& given = components[i];
    if (given == "." || given == "..") return kMapInvalid;
    PathStep step;
    step.given = given;
    step.parent = *relative;
    if (!FindEntry(*relative, given, &step.found)) {
      if (!(last_may_be_missing && i + 1 == components.size())) {
        return kMapMissing;
      }
      step.found = given;
    }
    *relative = Join(*relative, step.found);
    if (steps) steps->push_back(step);
  }
  return kMapped;
}
