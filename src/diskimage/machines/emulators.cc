// The machine files of 86Box, PCem, DOSBox-X and QEMU under libvirt
// (machine.h): each names its drive C in its own way.
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>

#include "ascii.h"
#include "diskimage/machines/parts.h"
#include "lines.h"

namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = FoldAscii(c);
  return text;
}

// The words of a command line, a word in double quotes kept whole.
std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> words;
  for (size_t at = 0; at < line.size();) {
    at = line.find_first_not_of(" \t\r", at);
    if (at == std::string::npos) break;
    size_t end;
    if (line[at] == '"') {
      end = line.find('"', at + 1);
      if (end == std::string::npos) end = line.size();
      words.push_back(line.substr(at + 1, end - at - 1));
      at = end + 1;
    } else {
      end = line.find_first_of(" \t\r", at);
      if (end == std::string::npos) end = line.size();
      words.push_back(line.substr(at, end - at));
      at = end;
    }
  }
  return words;
}

const std::map<std::string, std::string>& Section(const IniFile& ini,
                                                  const std::string& name) {
  static const std::map<std::string, std::string> kNone;
  auto found = ini.values.find(name);
  return found == ini.values.end() ? kNone : found->second;
}

std::string Value(const std::map<std::string, std::string>& section,
                  const std::string& key) {
  auto found = section.find(key);
  return found == section.end() ? "" : found->second;
}

}  // namespace

IniFile ReadIni(const std::string& text) {
  IniFile ini;
  std::string section;
  for (const std::string& raw : SplitLines(text)) {
    std::string line = Trim(raw);
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line[0] == '[' && line.back() == ']') {
      section = Lower(Trim(line.substr(1, line.size() - 2)));
      ini.values[section];
      continue;
    }
    ini.lines[section].push_back(line);
    size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    ini.values[section][Lower(Trim(line.substr(0, equals)))] =
        Trim(line.substr(equals + 1));
  }
  return ini;
}

// 86Box's 86box.cfg: [Hard disks], a disk's hdd_NN_fn with its bus in
// hdd_NN_parameters; drive C the IDE disk on channel 0:0, else the first.
MachineVerdict Read86Box(const std::string& path, const IniFile& ini,
                         MachineDisk* found) {
  const std::string kKind = "an 86Box machine";
  bool known = ini.values.count("hard disks") ||
               ini.values.count("floppy and cd-rom drives") ||
               (ini.values.count("machine") && ini.values.count("video"));
  if (!known) return kNoMachineFile;
  const auto& disks = Section(ini, "hard disks");
  std::string first, channel_zero;
  for (int n = 1; n <= 99; ++n) {
    char key[32];
    snprintf(key, sizeof key, "hdd_%02d_", n);
    std::string file = Value(disks, std::string(key) + "fn");
    if (file.empty()) continue;
    std::vector<std::string> parameters;
    for (const std::string& part :
         Words(Value(disks, std::string(key) + "parameters"))) {
      std::string word = part;
      word.erase(std::remove(word.begin(), word.end(), ','), word.end());
      parameters.push_back(Lower(word));
    }
    bool ide =
        !parameters.empty() && parameters.back().compare(0, 3, "ide") == 0;
    // 86Box's default channel for disk n: (n-1)/2 : (n-1)%2.
    char fallback[8];
    snprintf(fallback, sizeof fallback, "%d:%d", (n - 1) / 2, (n - 1) % 2);
    std::string channel = Value(disks, std::string(key) + "ide_channel");
    if (channel.empty()) channel = fallback;
    if (first.empty()) first = file;
    if (ide && channel == "0:0" && channel_zero.empty()) channel_zero = file;
  }
  std::string disk = channel_zero.empty() ? first : channel_zero;
  if (disk.empty()) return NoDisk(kKind, "no hard disk", found);
  return Found(kKind, Absolute(disk, FolderOf(path)), found);
}

// PCem's machine file: hdc_fn is drive C (hdd_fn drive D), a full path.
MachineVerdict ReadPcem(const IniFile& ini, MachineDisk* found) {
  const std::string kKind = "a PCem machine";
  const auto& values = Section(ini, "");
  static const char* const kKeys[] = {"hdc_fn",  "hdd_fn", "disc_a",  "disc_b",
                                      "gfxcard", "model",  "mem_size"};
  int known = 0;
  for (const char* key : kKeys) known += values.count(key) ? 1 : 0;
  if (known < 2) return kNoMachineFile;
  std::string disk = Value(values, "hdc_fn");
  if (disk.empty()) return NoDisk(kKind, "no hard disk as drive C", found);
  return Found(kKind, Absolute(disk, "/"), found);
}

// DOSBox-X's configuration: `imgmount c FILE` (or drive 2, the first hard
// disk) in [autoexec], FILE from the folder DOSBox-X starts in, taken to be
// the configuration's.
MachineVerdict ReadDosboxX(const std::string& path, const IniFile& ini,
                           MachineDisk* found) {
  const std::string kKind = "a DOSBox-X machine";
  if (!ini.values.count("autoexec") &&
      !(ini.values.count("dosbox") && ini.values.count("sdl"))) {
    return kNoMachineFile;
  }
  auto lines = ini.lines.find("autoexec");
  if (lines != ini.lines.end()) {
    for (const std::string& line : lines->second) {
      std::vector<std::string> words = Words(line);
      if (words.size() < 3 || Lower(words[0]) != "imgmount") continue;
      std::string drive = Lower(words[1]);
      if (drive != "c" && drive != "2") continue;
      // Of several files mounted as one drive, drive C is the first.
      return Found(kKind, Absolute(words[2], FolderOf(path)), found);
    }
  }
  return NoDisk(kKind, "no image mounted as drive C", found);
}

// A libvirt domain: the first disk on its IDE bus, `hda` first; a domain
// libvirt keeps saved (its managed save) is left alone.
MachineVerdict ReadLibvirt(const std::string& path, const XmlElement& domain,
                           MachineDisk* found) {
  const std::string kKind = "a libvirt machine";
  const XmlElement* name = Child(domain, "name");
  if (name) {
    struct stat st;
    std::string saved = "/var/lib/libvirt/qemu/save/" + name->text + ".save";
    if (name->text.find('/') == std::string::npos &&
        stat(saved.c_str(), &st) == 0) {
      found->kind = kKind;
      found->why = "in use by a libvirt machine kept saved (" + saved +
                   "); start it and shut it down first";
      return kMachineSaved;
    }
  }
  const XmlElement* devices = Child(domain, "devices");
  std::string best;
  std::string best_target;
  for (const XmlElement* disk : devices ? Children(*devices, "disk")
                                        : std::vector<const XmlElement*>{}) {
    const XmlElement* source = Child(*disk, "source");
    const XmlElement* target = Child(*disk, "target");
    if (Attribute(*disk, "device") != "disk" || !source || !target ||
        Attribute(*target, "bus") != "ide" ||
        Attribute(*source, "file").empty()) {
      continue;
    }
    std::string dev = Attribute(*target, "dev");
    if (best.empty() || dev < best_target) {
      best = Attribute(*source, "file");
      best_target = dev;
    }
  }
  if (best.empty()) return NoDisk(kKind, "no file disk on its IDE bus", found);
  return Found(kKind, Absolute(best, FolderOf(path)), found);
}
