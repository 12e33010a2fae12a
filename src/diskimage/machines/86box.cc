// 86Box's machine file (86box.cfg), read as 86Box reads it:
//
//   rule                                             86Box's source
//   a UTF-8 BOM first is skipped; lines end at LF    src/utils/ini.c
//     (a CR before it dropped), and a last line      ini_read_ex,
//     without one is not read; blanks before a       ini_detect_bom
//     line are skipped; '#' and ';' begin comments
//   "[section]"; "key = value": the key ends at      ini.c ini_read_ex
//     '=' or a space, the value runs to the end of
//     the line; a line without a value is no key
//   of a section or key given twice, the first       ini.c find_section,
//     counts; names are compared as written          find_entry
//   [Hard disks] hdd_NN_parameters "spt, hpc,        src/config.c load_hard_
//     cylinders, wp, bus", hdd_NN_fn the file,       disks
//     relative to the machine's folder (../ and
//     ../../ above it), hdd_NN_ide_channel "b:d"
//     (NN-1 as 0:0, 0:1, 1:0...; unread: as the
//     disk before)
//   a disk on bus none, without a file or with a     src/disk/hdd.c
//     zero geometry is not attached                  hdd_is_valid
//   each IDE channel takes the disks that name it,   src/disk/hdc_ide.c
//     two at most a board, the last one counting     ide_board_setup
//   drive C: the IDE disk of 0:0, 0:1, 1:0, 1:1;     the machine's BIOS
//     else, with disks on one other bus alone, its
//     first by channel or ID
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>

#include "diskimage/machines/reader.h"

namespace {

const int kDisks = 88;             // HDD_NUM
const size_t kLongestLine = 1023;  // fgetws into 1024 wide characters
const size_t kLongestPath = 500;   // load_image_file's bound, near enough
const char kSection[] = "Hard disks";
const char* const kKeys[] = {"parameters",    "fn",          "ide_channel",
                             "scsi_location", "scsi_id",     "mfm_channel",
                             "xta_channel",   "esdi_channel"};

// hdd_NN_SUFFIX with NN from 01 to 88, SUFFIX one read here.
bool Wanted(const std::string& section, const std::string& key) {
  if (section != kSection || key.size() < 8 || key.compare(0, 4, "hdd_") != 0 ||
      key[6] != '_') {
    return false;
  }
  int n = (key[4] - '0') * 10 + (key[5] - '0');
  std::string suffix = key.substr(7);
  return key[4] >= '0' && key[4] <= '9' && key[5] >= '0' && key[5] <= '9' &&
         n >= 1 && n <= kDisks &&
         std::find(std::begin(kKeys), std::end(kKeys), suffix) !=
             std::end(kKeys);
}

// Calls `line(text, number)` for each line 86Box reads: ended by LF, cut
// into pieces of kLongestLine characters.
template <typename F>
void Lines(std::string_view text, F line) {
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.remove_prefix(3);
  size_t number = 0;
  for (size_t at = 0;;) {
    size_t end = text.find('\n', at);
    if (end == std::string_view::npos) break;
    ++number;
    std::string_view whole = text.substr(at, end - at);
    if (!whole.empty() && whole.back() == '\r') whole.remove_suffix(1);
    while (!whole.empty()) {
      size_t cut = 0, characters = 0;
      for (; cut < whole.size() && characters < kLongestLine; ++cut) {
        if ((whole[cut] & 0xC0) != 0x80) ++characters;
      }
      while (cut < whole.size() && (whole[cut] & 0xC0) == 0x80) ++cut;
      line(whole.substr(0, cut), number);
      whole.remove_prefix(cut);
    }
    at = end + 1;
  }
}

bool Claims(const std::string& head) {
  bool hard_disks = false, floppies = false, machine = false, video = false;
  Lines(head, [&](std::string_view line, size_t) {
    line = TrimBlanks(line);
    hard_disks = hard_disks || line == "[Hard disks]";
    floppies = floppies || line == "[Floppy and CD-ROM drives]";
    machine = machine || line == "[Machine]";
    video = video || line == "[Video]";
  });
  return hard_disks || floppies || (machine && video);
}

bool Parse(const std::string& text, Machine* machine, std::string*) {
  std::string section;
  bool first = true, seen = false;  // [Hard disks] read before
  Lines(text, [&](std::string_view line, size_t number) {
    size_t c = line.find_first_not_of(" \t");
    if (c == std::string_view::npos || line[c] == '#' || line[c] == ';') return;
    if (line[c] == '[') {
      size_t close = line.find(']', c);
      if (close == std::string_view::npos) return;
      section = std::string(line.substr(c + 1, close - c - 1));
      first = section != kSection || !seen;
      seen = seen || section == kSection;
      return;
    }
    size_t end = line.find_first_of("= ", c);
    if (end == std::string_view::npos) return;
    size_t value = line.find_first_not_of("= ", end);
    if (value == std::string_view::npos) return;
    std::string key(line.substr(c, end - c));
    if (!first || !Wanted(section, key)) return;
    machine->settings[section].emplace(
        key, Setting{std::string(line.substr(value)), number});
  });
  return true;
}

std::string Saved(const Machine&) {
  return "";
}

// A disk 86Box attaches.
struct Disk {
  int number;  // NN
  std::string bus;
  int channel;  // IDE: board × 2 + device; others: channel or ID
};

std::string Key(int number, const char* suffix) {
  char key[32];
  snprintf(key, sizeof key, "hdd_%02d_%s", number, suffix);
  return key;
}

// load_hard_disks and hdd_is_valid: the disks attached, in number order.
std::vector<Disk> Attached(const Machine& machine) {
  std::vector<Disk> disks;
  unsigned board = 0, device = 0;
  for (int n = 1; n <= kDisks; ++n) {
    std::string parameters = Value(machine, kSection, Key(n, "parameters"));
    unsigned spt = 0, hpc = 0, cylinders = 0;
    int wp = 0;
    char bus[16] = "none";
    if (parameters.empty()) parameters = "0, 0, 0, 0, none";
    sscanf(parameters.c_str(), "%u, %u, %u, %i, %15s", &spt, &hpc, &cylinders,
           &wp, bus);
    Disk disk{n, bus, 0};
    static const char* const kBuses[] = {"mfm",   "esdi", "ide",
                                         "atapi", "xta",  "scsi"};
    if (std::find(std::begin(kBuses), std::end(kBuses), disk.bus) ==
        std::end(kBuses)) {
      continue;  // none, or a name 86Box does not know: disabled
    }
    if (disk.bus == "ide" || disk.bus == "atapi") {
      std::string channel = Value(machine, kSection, Key(n, "ide_channel"));
      if (channel.empty()) {
        channel =
            std::to_string((n - 1) >> 1) + ":" + std::to_string((n - 1) & 1);
      }
      sscanf(channel.c_str(), "%1u:%1u", &board, &device);
      disk.channel = static_cast<int>(((board & 3) << 1) + (device & 1));
    } else if (disk.bus == "scsi") {
      unsigned scsi_bus = 0, id = 0;
      std::string location = Value(machine, kSection, Key(n, "scsi_location"));
      disk.channel = sscanf(location.c_str(), "%1u:%2u", &scsi_bus, &id) == 2
                         ? static_cast<int>(scsi_bus * 16 + id)
                         : n + 1;
    } else {
      std::string key = disk.bus + "_channel";
      std::string channel = Value(machine, kSection, Key(n, key.c_str()));
      disk.channel = channel.empty() ? (n - 1) & 1 : atoi(channel.c_str()) != 0;
    }
    bool valid = !Value(machine, kSection, Key(n, "fn")).empty() && spt > 0 &&
                 hpc > 0 && cylinders > 0;
    if (valid) disks.push_back(disk);
  }
  return disks;
}

MachineVerdict DriveC(const Machine& machine, MachineDisk* found) {
  std::vector<Disk> disks = Attached(machine);
  // ide_board_setup: a board takes its first two disks, each channel the
  // last of them that names it.
  const Disk* ide[4] = {};
  for (int board = 0; board < 2; ++board) {
    int taken = 0;
    for (const Disk& disk : disks) {
      if (disk.bus != "ide" || disk.channel >> 1 != board) continue;
      ide[disk.channel] = &disk;
      if (++taken >= 2) break;
    }
  }
  const Disk* first = nullptr;
  for (const Disk* disk : ide) {
    if (disk && !first) first = disk;
  }
  if (!first) {
    for (const Disk& disk : disks) {
      if (disk.bus == "ide" || disk.bus == "atapi") continue;
      if (first && disk.bus != first->bus) {
        return Refused(machine,
                       std::string(machine.reader->kind) +
                           " with hard disks on two buses (" + first->bus +
                           ", " + disk.bus +
                           ") and none on IDE: which it "
                           "boots depends on its BIOS",
                       found);
      }
      if (!first || disk.channel < first->channel) first = &disk;
    }
  }
  if (!first) return NoDisk(machine, "no hard disk", found);
  std::string key = Key(first->number, "fn");
  const Setting* file = Find(machine, kSection, key);
  if (file->value.size() > kLongestPath) {
    return Refused(machine,
                   std::string(machine.reader->kind) + " whose " + key +
                       " is longer than 86Box reads",
                   found);
  }
  std::string what = key + " (line " + std::to_string(file->line) + ")";
  // A path above the machine's folder (../, ../../) is the system's to
  // resolve, as it resolves it for 86Box.
  std::string disk = Absolute(file->value, machine.folder);
  if (disk.empty() || file->value.compare(0, 11, "<exe_path>/") == 0) {
    return NoDisk(
        machine,
        "drive C as " + what + " " + file->value + ", which names no file here",
        found);
  }
  return Found(machine, disk, what, found);
}

}  // namespace

const MachineReader k86BoxReader = {
    "an 86Box machine", Claims, Parse, Saved, DriveC,
};
