// PCem's machine file (NAME.cfg in its configs folder), read as PCem v17
// reads it:
//
//   rule                                            PCem's source
//   lines read 254 bytes at a time (a longer one    src/plugin-api/config.c
//     goes on as the next); a last line without     config_load
//     LF is not read; spaces before a line are
//     skipped; '#' begins a comment
//   "[section]"; "key = value": the key ends at     config.c config_load
//     '=' or a space, the value runs to the end of
//     the line; the machine's keys come before any
//     section
//   of a key given twice, the first counts; names   config.c find_entry
//     are compared as written
//   the disks: hdc_fn, hdd_fn, hde_fn, hdf_fn,      src/pc.c loadconfig
//     hdg_fn, hdh_fn, hdi_fn (ide_fn 0 to 6), as
//     full paths
//   hdd_controller picks who takes them: an IDE     src/hdd/hdd.c,
//     one (ide, xtide...) ide_fn 0 to 3 but for     src/ide/ide.c resetide
//     the channels of cdrom_channel (2 unless set)
//     and zip_channel; an MFM or ESDI one hdc_fn    src/mfm/mfm_at.c,
//     and hdd_fn; a SCSI one ide_fn by ID but for   src/scsi/scsi.c,
//     the CD-ROM's and ZIP's; none (or unnamed)     scsi_hd.c scsi_hd_init
//     takes no disk
//   drive C: the first of them that names a file    the machine's BIOS
#include <stdlib.h>

#include <algorithm>
#include <iterator>

#include "diskimage/machines/reader.h"

namespace {

const size_t kChunk = 254;  // fgets(buffer, 255)
const char* const kFiles[] = {"hdc_fn", "hdd_fn", "hde_fn", "hdf_fn",
                              "hdg_fn", "hdh_fn", "hdi_fn"};
const char* const kOtherKeys[] = {"hdd_controller", "cdrom_channel",
                                  "zip_channel", "model", "gfxcard"};

template <typename List>
bool In(const List& list, const std::string& name) {
  return std::find(std::begin(list), std::end(list), name) != std::end(list);
}

bool Wanted(const std::string& key) {
  return In(kFiles, key) || In(kOtherKeys, key);
}

// Calls `line(text, number)` for each piece of a line PCem reads.
template <typename F>
void Lines(std::string_view text, F line) {
  size_t number = 0;
  for (size_t at = 0;;) {
    size_t end = text.find('\n', at);
    if (end == std::string_view::npos) break;
    ++number;
    std::string_view whole = text.substr(at, end - at);
    if (!whole.empty() && whole.back() == '\r') whole.remove_suffix(1);
    for (size_t piece = 0; piece < whole.size(); piece += kChunk) {
      line(whole.substr(piece, kChunk), number);
    }
    at = end + 1;
  }
}

// The key and value of a line, where it gives one.
bool KeyValue(std::string_view line, std::string* key, std::string* value) {
  size_t c = line.find_first_not_of(' ');
  if (c == std::string_view::npos || line[c] == '#' || line[c] == '[') {
    return false;
  }
  size_t end = line.find_first_of("= ", c);
  if (end == std::string_view::npos) return false;
  size_t at = line.find_first_not_of("= ", end);
  if (at == std::string_view::npos) return false;
  *key = std::string(line.substr(c, end - c));
  *value = std::string(line.substr(at));
  return true;
}

bool Claims(const std::string& head) {
  int known = 0;
  bool section = false;
  std::string key, value;
  Lines(head, [&](std::string_view line, size_t) {
    std::string_view trimmed = TrimBlanks(line);
    section = section || (!trimmed.empty() && trimmed[0] == '[');
    if (!section && KeyValue(line, &key, &value)) {
      known += In(kFiles, key) || In(kOtherKeys, key) || key == "mem_size" ||
                       key == "disc_a" || key == "disc_b"
                   ? 1
                   : 0;
    }
  });
  return known >= 2;
}

bool Parse(const std::string& text, Machine* machine, std::string*) {
  bool global = true;
  std::string key, value;
  std::map<std::string, Setting>& settings = machine->settings[""];
  Lines(text, [&](std::string_view line, size_t number) {
    size_t c = line.find_first_not_of(' ');
    if (c != std::string_view::npos && line[c] == '[' &&
        line.find(']', c) != std::string_view::npos) {
      global = false;
    }
    if (global && KeyValue(line, &key, &value) && Wanted(key)) {
      settings.emplace(key, Setting{value, number});
    }
  });
  return true;
}

std::string Saved(const Machine&) {
  return "";
}

MachineVerdict DriveC(const Machine& machine, MachineDisk* found) {
  static const char* const kIde[] = {"ide", "xtide", "xtide_at", "xtide_ps1"};
  static const char* const kTwo[] = {"mfm_at", "dtc5150x", "mfm_xebec",
                                     "esdi_mca", "wd1007vse1"};
  static const char* const kScsi[] = {"aha1542c", "bt545s",  "ibmscsi_mca",
                                      "lcs6821n", "rt1000b", "t130b"};
  std::string controller = Value(machine, "", "hdd_controller");
  int disks = In(kIde, controller)    ? 4
              : In(kTwo, controller)  ? 2
              : In(kScsi, controller) ? 7
                                      : 0;
  if (disks == 0) {
    return NoDisk(
        machine,
        "no hard disk controller (hdd_controller is " +
            (controller.empty() ? std::string("not set") : controller) +
            "), so PCem attaches no hard disk",
        found);
  }
  const Setting* cdrom = Find(machine, "", "cdrom_channel");
  const Setting* zip = Find(machine, "", "zip_channel");
  int cdrom_channel = cdrom ? atoi(cdrom->value.c_str()) : 2;
  int zip_channel = zip ? atoi(zip->value.c_str()) : -1;
  for (int d = 0; d < disks; ++d) {
    if (disks != 2 && (d == cdrom_channel || d == zip_channel)) continue;
    const Setting* file = Find(machine, "", kFiles[d]);
    if (!file || file->value.empty()) continue;
    std::string what =
        std::string(kFiles[d]) + " (line " + std::to_string(file->line) + ")";
    bool windows = Absolute(file->value, "/").empty();
    if (!windows && file->value[0] != '/') {
      return NoDisk(machine,
                    "drive C as " + what + " " + file->value +
                        ", which is no full path: PCem opens it from the "
                        "folder it is started in",
                    found);
    }
    return FoundPath(machine, file->value, what, found);
  }
  return NoDisk(machine, "no hard disk", found);
}

}  // namespace

const MachineReader kPcemReader = {
    "a PCem machine", Claims, Parse, Saved, DriveC,
};
