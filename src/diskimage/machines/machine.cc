#include "diskimage/machines/machine.h"

#include <ctype.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>

#include "diskimage/machines/parts.h"
#include "diskimage/machines/vbox.h"
#include "helpers/io.h"
#include "lines.h"

std::string Absolute(std::string path, const std::string& folder) {
  std::replace(path.begin(), path.end(), '\\', '/');
  return !path.empty() && path[0] == '/' ? path : folder + "/" + path;
}

MachineVerdict Found(const std::string& kind, const std::string& disk,
                     MachineDisk* found) {
  found->kind = kind;
  found->disk = disk;
  struct stat st;
  if (stat(disk.c_str(), &st) != 0) {
    found->why = kind + " that names " + disk + ", which does not exist";
    return kMachineNoDisk;
  }
  return kMachineDisk;
}

MachineVerdict NoDisk(const std::string& kind, const std::string& what,
                      MachineDisk* found) {
  found->kind = kind;
  found->why = kind + " that names " + what;
  return kMachineNoDisk;
}

bool ReadMachineText(const std::string& path, std::string* text) {
  const off_t kLargest = 4 << 20;
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool read = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
              st.st_size <= kLargest &&
              ReadAt(fd, 0, 4096).find('\0') == std::string::npos &&
              ReadAll(fd, text) && text->find('\0') == std::string::npos;
  close(fd);
  return read;
}

namespace {

MachineVerdict Vbox(const std::string& path, MachineDisk* found) {
  const std::string kKind = "a VirtualBox machine";
  VboxMachine machine;
  if (!ReadVbox(path, &machine)) return kNoMachineFile;
  if (!machine.state_file.empty()) {
    found->kind = kKind;
    found->why =
        "in use by a saved VirtualBox machine; discard its saved "
        "state or start and shut it down first";
    return kMachineSaved;
  }
  if (machine.drive_c.empty()) {
    return NoDisk(kKind, "no hard disk on an IDE controller", found);
  }
  std::string location = VboxLocation(machine, machine.drive_c);
  if (location.empty()) {
    return NoDisk(kKind, "a disk its registry does not hold", found);
  }
  return Found(kKind, location, found);
}

// A VMware configuration's `key = "value"` lines, keys in lower case.
std::map<std::string, std::string> VmxSettings(const std::string& text) {
  std::map<std::string, std::string> settings;
  for (const std::string& line : SplitLines(text)) {
    size_t equals = line.find('=');
    if (equals == std::string::npos || line[0] == '#') continue;
    std::string key = line.substr(0, equals);
    std::string value = line.substr(equals + 1);
    auto trim = [](std::string* text) {
      size_t start = text->find_first_not_of(" \t\r");
      size_t end = text->find_last_not_of(" \t\r");
      *text = start == std::string::npos ? ""
                                         : text->substr(start, end - start + 1);
    };
    trim(&key);
    trim(&value);
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
      value = value.substr(1, value.size() - 2);
    }
    for (char& c : key) c = static_cast<char>(tolower(c));
    settings[key] = value;
  }
  return settings;
}

MachineVerdict Vmx(const std::string& path, const std::string& text,
                   MachineDisk* found) {
  const std::string kKind = "a VMware machine";
  std::map<std::string, std::string> settings = VmxSettings(text);
  if (!settings.count("config.version") &&
      !settings.count("virtualhw.version")) {
    return kNoMachineFile;
  }
  if (!settings["checkpoint.vmstate"].empty()) {
    found->kind = kKind;
    found->why = "in use by a suspended VMware machine (its state is in " +
                 settings["checkpoint.vmstate"] +
                 "); resume it and shut it down first";
    return kMachineSaved;
  }
  std::string disk = settings["ide0:0.filename"];
  if (disk.empty() ||
      strcasecmp(settings["ide0:0.present"].c_str(), "FALSE") == 0 ||
      settings["ide0:0.devicetype"].find("cdrom") != std::string::npos) {
    return NoDisk(kKind, "no hard disk at ide0:0", found);
  }
  return Found(kKind, Absolute(disk, FolderOf(path)), found);
}

// A bochsrc's `key: value` lines: the options of each key, by name.
using BochsOptions = std::map<std::string, std::string>;
std::map<std::string, BochsOptions> BochsSettings(const std::string& text) {
  std::map<std::string, BochsOptions> settings;
  for (const std::string& line : SplitLines(text)) {
    size_t start = line.find_first_not_of(" \t");
    size_t colon = line.find(':');
    if (start == std::string::npos || line[start] == '#' ||
        colon == std::string::npos) {
      continue;
    }
    std::string key = line.substr(start, colon - start);
    key.erase(key.find_last_not_of(" \t") + 1);
    if (key.find_first_of(" \t=\"") != std::string::npos) continue;
    BochsOptions& options = settings[key];
    std::string rest = line.substr(colon + 1);
    // name=value pairs, a value perhaps quoted, separated by commas.
    for (size_t at = 0; at < rest.size();) {
      size_t equals = rest.find('=', at);
      if (equals == std::string::npos) break;
      std::string name = rest.substr(at, equals - at);
      name.erase(0, name.find_first_not_of(" \t,"));
      name.erase(name.find_last_not_of(" \t") + 1);
      size_t value_at = rest.find_first_not_of(" \t", equals + 1);
      std::string value;
      if (value_at != std::string::npos && rest[value_at] == '"') {
        size_t end = rest.find('"', value_at + 1);
        if (end == std::string::npos) end = rest.size();
        value = rest.substr(value_at + 1, end - value_at - 1);
        at = rest.find(',', end);
      } else {
        size_t end = value_at == std::string::npos ? rest.size()
                                                   : rest.find(',', value_at);
        if (end == std::string::npos) end = rest.size();
        value = value_at == std::string::npos
                    ? ""
                    : rest.substr(value_at, end - value_at);
        value.erase(value.find_last_not_of(" \t\r") + 1);
        at = end;
      }
      options[name] = value;
      if (at == std::string::npos) break;
    }
  }
  return settings;
}

MachineVerdict Bochsrc(const std::string& path, const std::string& text,
                       MachineDisk* found) {
  const std::string kKind = "a Bochs machine";
  std::map<std::string, BochsOptions> settings = BochsSettings(text);
  static const char* const kKnown[] = {
      "megs",    "memory", "romimage",    "boot", "cpu",   "vgaromimage",
      "floppya", "ata0",   "ata0-master", "log",  "mouse", "display_library"};
  int known = 0;
  for (const char* key : kKnown) known += settings.count(key) ? 1 : 0;
  if (known < 2 && !settings.count("ata0-master")) return kNoMachineFile;
  BochsOptions master = settings["ata0-master"];
  std::string disk = master["path"];
  if (disk.empty()) {
    std::string file = settings["diskc"]["file"];  // the older form
    disk = file;
  }
  if (disk.empty() || (!master["type"].empty() && master["type"] != "disk")) {
    return NoDisk(kKind, "no hard disk at ata0-master", found);
  }
  std::string folder = FolderOf(path);
  disk = Absolute(disk, folder);
  std::string mode = master["mode"];
  if (mode == "volatile") {
    found->kind = kKind;
    found->why =
        "a Bochs machine whose drive C is volatile: Bochs deletes "
        "its changes itself";
    return kMachineNoDisk;
  }
  if (mode == "vvfat") {
    return NoDisk(kKind, "the folder " + disk + " as drive C; name the folder",
                  found);
  }
  if (mode == "undoable") {
    std::string journal = master["journal"].empty()
                              ? disk + ".redolog"
                              : Absolute(master["journal"], folder);
    struct stat st;
    // Until Bochs first starts, it has made no redolog: the base is drive C.
    if (stat(journal.c_str(), &st) == 0) {
      found->base = disk;
      return Found(kKind, journal, found);
    }
  }
  return Found(kKind, disk, found);
}

}  // namespace

MachineVerdict ReadMachineFile(const std::string& path, MachineDisk* found) {
  *found = MachineDisk();
  std::string text;
  if (!ReadMachineText(path, &text)) return kNoMachineFile;
  size_t start = text.find_first_not_of(" \t\r\n\xEF\xBB\xBF");
  if (start != std::string::npos && text[start] == '<') {
    XmlElement root;
    if (!ParseXml(text, &root)) return kNoMachineFile;
    if (root.name == "domain") return ReadLibvirt(path, root, found);
    return Vbox(path, found);
  }
  MachineVerdict verdict = Vmx(path, text, found);
  IniFile ini = ReadIni(text);
  if (verdict == kNoMachineFile) verdict = ReadDosboxX(path, ini, found);
  if (verdict == kNoMachineFile) verdict = Read86Box(path, ini, found);
  if (verdict == kNoMachineFile) verdict = ReadPcem(ini, found);
  if (verdict == kNoMachineFile) verdict = Bochsrc(path, text, found);
  return verdict;
}
