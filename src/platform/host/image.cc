#include "platform/host/image.h"

#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "platform/host/faults.h"
#include "platform/host/ini.h"

namespace {

const size_t kSector = 512;

std::string image_spec;  // mtools' -i argument: IMAGE or IMAGE@@OFFSET

uint32_t Little(const unsigned char* at, int bytes) {
  uint32_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = value << 8 | at[i];
  return value;
}

bool PowerOfTwo(uint32_t value) {
  return value != 0 && (value & (value - 1)) == 0;
}

// A FAT boot sector whose volume lies within `available` bytes.
bool IsFatBootSector(const unsigned char* sector, uint64_t available) {
  uint32_t bytes_per_sector = Little(sector + 11, 2);
  uint32_t total = Little(sector + 19, 2);
  if (total == 0) total = Little(sector + 32, 4);
  return (sector[0] == 0xEB || sector[0] == 0xE9) && bytes_per_sector >= 512 &&
         bytes_per_sector <= 4096 && PowerOfTwo(bytes_per_sector) &&
         PowerOfTwo(sector[13]) && Little(sector + 14, 2) >= 1 &&
         sector[16] >= 1 && (sector[21] == 0xF0 || sector[21] >= 0xF8) &&
         total > 0 && uint64_t{total} * bytes_per_sector <= available &&
         sector[510] == 0x55 && sector[511] == 0xAA;
}

bool ReadSector(int fd, uint64_t at, unsigned char (&sector)[kSector]) {
  return pread(fd, sector, kSector, static_cast<off_t>(at)) ==
         static_cast<ssize_t>(kSector);
}

bool IsFatPartitionType(unsigned char type) {
  static const unsigned char kTypes[] = {0x01, 0x04, 0x06, 0x0B, 0x0C, 0x0E};
  return std::find(std::begin(kTypes), std::end(kTypes), type) !=
         std::end(kTypes);
}

// The child's environment: the search path and locale, and nothing that
// tells mtools what the user configured.
std::vector<std::string> MtoolsEnvironment() {
  std::vector<std::string> env = {"HOME=/nonexistent", "MTOOLSRC=/dev/null",
                                  "MTOOLS_SKIP_CHECK=1"};
  for (const char* name : {"PATH", "TZ", "LANG", "LC_ALL", "LC_CTYPE"}) {
    if (const char* value = getenv(name)) {
      env.push_back(std::string(name) + "=" + value);
    }
  }
  return env;
}

// Runs an mtools command on the volume: `tool`, the drive option, then
// `args`. Its output goes to `out_fd`, or is collected into `out`, or is
// dropped. True when it ends with status 0.
bool Mtools(const char* tool, const std::vector<std::string>& args,
            std::string* out = nullptr, int out_fd = -1) {
  std::vector<std::string> words = {tool, "-i", image_spec};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  argv.reserve(words.size() + 1);
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  std::vector<std::string> env = MtoolsEnvironment();
  std::vector<char*> envp;
  envp.reserve(env.size() + 1);
  for (std::string& entry : env) envp.push_back(entry.data());
  envp.push_back(nullptr);

  int pipe_fds[2] = {-1, -1};
  if (out && pipe2(pipe_fds, O_CLOEXEC) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (out) {
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
  } else if (out_fd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  }
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t child;
  int spawned =
      posix_spawnp(&child, tool, &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (out) {
    close(pipe_fds[1]);
    out->clear();
    char buffer[4096];
    ssize_t count;
    while (spawned == 0 &&
           ((count = read(pipe_fds[0], buffer, sizeof buffer)) > 0 ||
            (count < 0 && errno == EINTR))) {
      if (count > 0) out->append(buffer, static_cast<size_t>(count));
    }
    close(pipe_fds[0]);
  }
  if (spawned != 0) return false;
  int status;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string Dos(const std::string& relative) {
  return "::/" + relative;
}

// A private file outside the image for a file's content on its way in or
// out. Its name is returned when `path` is given; otherwise it is already
// gone, and disappears with its descriptor.
int ScratchFile(std::string* path) {
  const char* folder = getenv("TMPDIR");
  std::string name =
      std::string(folder && *folder ? folder : "/tmp") + "/dossetup-XXXXXX";
  int fd = mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) return -1;
  if (path) {
    *path = name;
  } else {
    unlink(name.c_str());
  }
  return fd;
}

struct Entry {
  std::string name;
  bool folder;
};

// The entries of a folder, as `mdir -b` names them: the long name where
// there is one, a folder's with a '/' after it.
bool ListEntries(const std::string& folder, std::vector<Entry>* entries) {
  entries->clear();
  std::string prefix = folder.empty() ? "::/" : Dos(folder) + "/";
  std::string text;
  if (!Mtools("mdir", {"-a", "-b", prefix}, &text)) return false;
  for (const std::string& line : SplitLines(text)) {
    if (line.compare(0, prefix.size(), prefix) != 0) continue;
    Entry entry = {line.substr(prefix.size()), false};
    if (!entry.name.empty() && entry.name.back() == '/') {
      entry.name.pop_back();
      entry.folder = true;
    }
    if (!entry.name.empty()) entries->push_back(entry);
  }
  return true;
}

bool Attach(const char* location) {
  uint64_t offset = 0;
  std::string image = location;
  // mtools reads "@@" in its -i argument as the start of an offset.
  if (image.find("@@") != std::string::npos ||
      !FindImageVolume(image, &offset)) {
    return false;
  }
  image_spec = image;
  if (offset > 0) image_spec += "@@" + std::to_string(offset);
  return true;
}

void Detach() {
  image_spec.clear();
}

bool List(const std::string& folder, std::vector<std::string>* names) {
  std::vector<Entry> entries;
  names->clear();
  if (!ListEntries(folder, &entries)) return false;
  for (const Entry& entry : entries) names->push_back(entry.name);
  std::sort(names->begin(), names->end());
  return true;
}

// The alias the volume stores, never one computed here.
std::string Alias(const std::string& folder, const std::vector<std::string>&,
                  const std::string& name) {
  std::string path = folder.empty() ? name : folder + "/" + name;
  std::string text;
  if (!Mtools("mshortname", {Dos(path)}, &text)) return "";
  std::vector<std::string> lines = SplitLines(text);
  size_t slash = lines.empty() ? std::string::npos : lines[0].rfind('/');
  return slash == std::string::npos ? "" : lines[0].substr(slash + 1);
}

EntryKind Kind(const std::string& path) {
  if (path.empty()) return kEntryFolder;
  std::string parent, name;
  SplitRelative(path, &parent, &name);
  std::vector<Entry> entries;
  if (!ListEntries(parent, &entries)) return kEntryMissing;
  for (const Entry& entry : entries) {
    if (entry.name == name) return entry.folder ? kEntryFolder : kEntryFile;
  }
  return kEntryMissing;
}

int OpenRead(const std::string& path) {
  EntryKind kind = Kind(path);
  if (kind != kEntryFile) {
    errno = kind == kEntryMissing ? ENOENT : EISDIR;
    return -1;
  }
  int fd = ScratchFile(nullptr);
  if (fd < 0) return -1;
  if (!Mtools("mtype", {Dos(path)}, nullptr, fd) ||
      lseek(fd, 0, SEEK_SET) != 0) {
    close(fd);
    errno = EIO;
    return -1;
  }
  return fd;
}

// The content goes into the image when the file is closed.
int OpenWrite(const std::string& path, std::string* pending) {
  std::string parent, name;
  SplitRelative(path, &parent, &name);
  EntryKind kind = Kind(path);
  if (name.empty() || Kind(parent) != kEntryFolder ||
      (kind != kEntryMissing && kind != kEntryFile)) {
    return -1;
  }
  return ScratchFile(pending);
}

bool CloseWrite(int fd, const std::string& pending, const std::string& path) {
  bool ok = close(fd) == 0 && Mtools("mcopy", {"-o", pending, Dos(path)});
  unlink(pending.c_str());
  return ok;
}

bool Copy(const std::string& from, const std::string& to) {
  EntryKind target = Kind(to);
  bool ok = Kind(from) == kEntryFile &&
            (target == kEntryMissing || target == kEntryFile);
  // Before anything in the image changes.
  if (FaultHit(kFaultCopy)) return false;
  return ok && Mtools("mcopy", {"-o", Dos(from), Dos(to)});
}

bool Remove(const std::string& path) {
  return Kind(path) == kEntryFile && Mtools("mdel", {Dos(path)});
}

}  // namespace

bool FindImageVolume(const std::string& image, uint64_t* offset) {
  int fd = open(image.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st;
  unsigned char sector[kSector];
  bool found = false;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ReadSector(fd, 0, sector)) {
    uint64_t size = static_cast<uint64_t>(st.st_size);
    if (IsFatBootSector(sector, size)) {
      *offset = 0;
      found = true;
    } else if (sector[510] == 0x55 && sector[511] == 0xAA) {
      // An MBR: the first primary partition of a FAT type, whole.
      unsigned char table[64];
      std::copy(sector + 446, sector + 510, table);
      for (size_t i = 0; i < 4 && !found; ++i) {
        const unsigned char* entry = table + 16 * i;
        uint64_t start = uint64_t{Little(entry + 8, 4)} * kSector;
        uint64_t length = uint64_t{Little(entry + 12, 4)} * kSector;
        if (!IsFatPartitionType(entry[4])) continue;
        found = start > 0 && length > 0 && start + length <= size &&
                ReadSector(fd, start, sector) &&
                IsFatBootSector(sector, length);
        if (found) *offset = start;
        break;
      }
    }
  }
  close(fd);
  return found;
}

const DriveBackend kImageDrive = {
    Attach,   Detach,    List,       Alias, Kind,
    OpenRead, OpenWrite, CloseWrite, Copy,  Remove,
};
