#include "diskimage/engine/inuse.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace {

struct flock WholeFile(short type) {
  struct flock lock = {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;  // to the end, however far it grows
  return lock;
}

bool AllDigits(const char* text) {
  if (!*text) return false;
  for (; *text; ++text) {
    if (*text < '0' || *text > '9') return false;
  }
  return true;
}

// The access mode of descriptor `fd` of process `pid`, from the "flags:"
// line of its fdinfo; -1 when it cannot be read.
int AccessMode(const std::string& pid, const char* fd) {
  std::string path = "/proc/" + pid + "/fdinfo/" + fd;
  int info = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (info < 0) return -1;
  char text[512];
  ssize_t count = read(info, text, sizeof text - 1);
  close(info);
  if (count <= 0) return -1;
  text[count] = '\0';
  std::string lines(text);
  size_t at = lines.find("flags:");
  if (at == std::string::npos) return -1;
  long flags = strtol(lines.c_str() + at + 6, nullptr, 8);
  return static_cast<int>(flags & O_ACCMODE);
}

}  // namespace

bool ImageLockedElsewhere(int fd) {
  struct flock lock = WholeFile(F_WRLCK);
  // A query only: it reports a conflicting lock of any process, POSIX or
  // open-file-description, and takes none.
  if (fcntl(fd, F_OFD_GETLK, &lock) != 0) return true;
  return lock.l_type != F_UNLCK;
}

bool ImageOpenForWritingElsewhere(int fd) {
  struct stat image;
  if (fstat(fd, &image) != 0) return true;
  DIR* processes = opendir("/proc");
  if (!processes) return false;
  std::string self = std::to_string(getpid());
  bool found = false;
  while (struct dirent* process = readdir(processes)) {
    if (!AllDigits(process->d_name) || self == process->d_name) continue;
    std::string pid = process->d_name;
    std::string fds = "/proc/" + pid + "/fd";
    // Another user's process, unless this one may look: not seen.
    DIR* open_files = opendir(fds.c_str());
    if (!open_files) continue;
    while (struct dirent* entry = readdir(open_files)) {
      if (!AllDigits(entry->d_name)) continue;
      struct stat st;
      if (fstatat(dirfd(open_files), entry->d_name, &st, 0) != 0 ||
          st.st_dev != image.st_dev || st.st_ino != image.st_ino) {
        continue;
      }
      int mode = AccessMode(pid, entry->d_name);
      if (mode == O_WRONLY || mode == O_RDWR) {
        found = true;
        break;
      }
    }
    closedir(open_files);
    if (found) break;
  }
  closedir(processes);
  return found;
}

bool HoldImage(int fd, bool shared) {
  struct flock lock = WholeFile(shared ? F_RDLCK : F_WRLCK);
  return fcntl(fd, F_OFD_SETLK, &lock) == 0;
}
