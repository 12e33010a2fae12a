#include "diskimage/machines/machine.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "ascii.h"
#include "diskimage/machines/reader.h"
#include "helpers/io.h"
#include "helpers/paths.h"

namespace {

// Enough of a file's beginning to tell whose machine file it is.
const size_t kHead = 64 << 10;

const MachineReader* const kReaders[] = {
    &kVirtualBoxReader, &kLibvirtReader, &kVmwareReader, &kDosboxXReader,
    &k86BoxReader,      &kPcemReader,    &kBochsReader,
};

// Reads the machine file `fd` holds, of `size` bytes, that `reader`
// claims into `machine`.
MachineVerdict Read(int fd, uint64_t size, Machine* machine,
                    MachineDisk* found) {
  const char* kind = machine->reader->kind;
  if (size > kLargestMachineFile) {
    return Refused(*machine,
                   std::string(kind) + " file of " + std::to_string(size) +
                       " bytes, larger than any machine file (" +
                       std::to_string(kLargestMachineFile >> 20) + " MiB)",
                   found);
  }
  std::string text = ReadAt(fd, 0, size);
  if (text.size() != size || text.find('\0') != std::string::npos) {
    return Refused(*machine,
                   std::string(kind) +
                       " file that cannot be read whole, or holds a NUL byte",
                   found);
  }
  std::string why;
  if (!machine->reader->parse(text, machine, &why)) {
    return Refused(*machine, std::string(kind) + " file " + why, found);
  }
  text = std::string();
  SoundCard card;
  machine->reader->sound(*machine, &card);
  SaySoundCard(card, &found->sound_agrees, &found->sound_differs);
  std::string saved = machine->reader->saved(*machine);
  if (!saved.empty()) {
    found->kind = kind;
    found->why = saved;
    return kMachineSaved;
  }
  return machine->reader->drive_c(*machine, found);
}

}  // namespace

MachineVerdict ReadMachine(const std::string& path, Machine* machine,
                           MachineDisk* found) {
  *machine = Machine();
  *found = MachineDisk();
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return kNoMachineFile;
  struct stat st;
  MachineVerdict verdict = kNoMachineFile;
  std::string head;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) head = ReadAt(fd, 0, kHead);
  if (!head.empty() && head.find('\0') == std::string::npos) {
    for (const MachineReader* reader : kReaders) {
      if (!reader->claims(head)) continue;
      machine->reader = reader;
      machine->path = path;
      machine->folder = FolderOf(path);
      machine->name = path.substr(path.rfind('/') + 1);
      verdict = Read(fd, static_cast<uint64_t>(st.st_size), machine, found);
      break;
    }
  }
  close(fd);
  return verdict;
}

MachineVerdict ReadMachineFile(const std::string& path, MachineDisk* found) {
  Machine machine;
  return ReadMachine(path, &machine, found);
}

bool ReadRegular(const std::string& path, uint64_t most, std::string* text) {
  struct stat st, opened;
  text->clear();
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  bool same = fstat(fd, &opened) == 0 && opened.st_dev == st.st_dev &&
              opened.st_ino == st.st_ino;
  if (same) *text = ReadAt(fd, 0, most);
  close(fd);
  return same;
}

const Setting* Find(const Machine& machine, const std::string& section,
                    const std::string& key) {
  auto in = machine.settings.find(section);
  if (in == machine.settings.end()) return nullptr;
  auto setting = in->second.find(key);
  return setting == in->second.end() ? nullptr : &setting->second;
}

std::string Value(const Machine& machine, const std::string& section,
                  const std::string& key) {
  const Setting* setting = Find(machine, section, key);
  return setting ? setting->value : "";
}

std::string_view TrimBlanks(std::string_view text) {
  size_t start = text.find_first_not_of(" \t");
  if (start == std::string_view::npos) return {};
  return text.substr(start, text.find_last_not_of(" \t") - start + 1);
}

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = FoldAscii(c);
  return lower;
}

std::string Absolute(std::string path, const std::string& folder) {
  bool drive = path.size() >= 3 && FoldAscii(path[0]) >= 'a' &&
               FoldAscii(path[0]) <= 'z' && path[1] == ':' &&
               (path[2] == '\\' || path[2] == '/');
  if (drive || path.compare(0, 2, "\\\\") == 0) return "";
  std::replace(path.begin(), path.end(), '\\', '/');
  return !path.empty() && path[0] == '/' ? path : folder + "/" + path;
}

MachineVerdict Found(const Machine& machine, const std::string& disk,
                     const std::string& what, MachineDisk* found) {
  found->kind = machine.reader->kind;
  found->disk = disk;
  struct stat st;
  if (stat(disk.c_str(), &st) != 0) {
    found->why = found->kind + " whose " + what + " names " + disk +
                 ", which does not exist";
    return kMachineNoDisk;
  }
  return kMachineDisk;
}

MachineVerdict FoundPath(const Machine& machine, const std::string& path,
                         const std::string& what, MachineDisk* found) {
  if (path.size() > PATH_MAX) {
    return NoDisk(machine, "drive C as " + what + ", a path longer than any",
                  found);
  }
  std::string disk = Absolute(path, machine.folder);
  if (disk.empty()) {
    return NoDisk(machine,
                  "drive C as " + what + " " + path +
                      ", a Windows path, which names no file here",
                  found);
  }
  return Found(machine, disk, what, found);
}

MachineVerdict NoDisk(const Machine& machine, const std::string& what,
                      MachineDisk* found) {
  found->kind = machine.reader->kind;
  found->why = found->kind + " that names " + what;
  return kMachineNoDisk;
}

MachineVerdict Refused(const Machine& machine, const std::string& why,
                       MachineDisk* found) {
  found->kind = machine.reader->kind;
  found->why = why;
  return kMachineRefused;
}
