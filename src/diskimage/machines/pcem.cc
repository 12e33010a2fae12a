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
//   sndcard names the card by its internal name     src/pc.c loadconfig,
//     (none where not given); its settings are in   src/sound/sound.c;
//     the section of its name, the first of that    plugin-api/device.c
//     name, as C's %i reads them                    device_get_config_int
//   addr, irq, dma over each card's defaults        src/sound/sound_sb.c
//     (220, 7, 1); a 16 and an AWE32 read addr      sb_*_init, device_
//     alone, and start on IRQ 7, DMA 1, wherever    config_t tables; sound_
//     the BLASTER line is: only the machine's own   sb_dsp.c sb_dsp_init
//     programs move them; MCA cards are set up by
//     the machine
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
// The Sound Blasters of sound_sb.c: internal names, names (their
// sections), T, and whether the file sets their IRQ and DMA.
const struct Card {
  const char* sndcard;
  const char* name;
  long type;
  bool set;
} kCards[] = {
    {"sb", "Sound Blaster v1.0", 1, true},
    {"sb1.5", "Sound Blaster v1.5", 1, true},
    {"sb2.0", "Sound Blaster v2.0", 3, true},
    {"sbprov1", "Sound Blaster Pro v1", 2, true},
    {"sbprov2", "Sound Blaster Pro v2", 4, true},
    {"sb16", "Sound Blaster 16", 6, false},
    {"sbawe32", "Sound Blaster AWE32", 6, false},
};

template <typename List>
bool In(const List& list, const std::string& name) {
  return std::find(std::begin(list), std::end(list), name) != std::end(list);
}

bool Wanted(const std::string& key) {
  return In(kFiles, key) || In(kOtherKeys, key) || key == "sndcard";
}

bool CardSection(const std::string& section) {
  return std::any_of(std::begin(kCards), std::end(kCards),
                     [&](const Card& card) { return section == card.name; });
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
  std::map<std::string, Setting>* card = nullptr;  // a card's first section
  std::map<std::string, Setting>& settings = machine->settings[""];
  Lines(text, [&](std::string_view line, size_t number) {
    size_t c = line.find_first_not_of(' ');
    size_t close = c == std::string_view::npos || line[c] != '['
                       ? std::string_view::npos
                       : line.find(']', c);
    if (close != std::string_view::npos) {
      global = false;
      std::string section(line.substr(c + 1, close - c - 1));
      card = CardSection(section) && !machine->settings.count(section)
                 ? &machine->settings[section]
                 : nullptr;
    }
    if (!KeyValue(line, &key, &value)) return;
    if (global && Wanted(key)) settings.emplace(key, Setting{value, number});
    if (card && (key == "addr" || key == "irq" || key == "dma")) {
      card->emplace(key, Setting{value, number});
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

void Sound(const Machine& machine, SoundCard* card) {
  const Blaster& line = BlasterLine();
  std::string in = "[Sound Blaster Pro v2]";
  card->emulator = "PCem";
  card->set_card = {"set sndcard = sbprov2 and, in " + in +
                        ", irq = " + std::to_string(line.irq),
                    ""};
  std::string sndcard = Value(machine, "", "sndcard");
  auto known =
      std::find_if(std::begin(kCards), std::end(kCards),
                   [&](const Card& c) { return sndcard == c.sndcard; });
  if (sndcard.empty() || sndcard == "none") {
    card->kind = kSoundNone;
    return;
  }
  if (known == std::end(kCards)) return;
  in = "[" + std::string(known->name) + "]";
  card->kind = kSoundCard;
  card->name = known->name;
  card->type = known->type;
  card->set_port = {"addr = " + std::to_string(line.port), in};
  if (known->set) {
    card->set_irq = {"irq = " + std::to_string(line.irq), in};
    card->set_dma = {"dma = " + std::to_string(line.dma), in};
  }
  // config_get_int: the default where not given, else sscanf's %i (which
  // leaves PCem's number unset where it reads none: the file cannot say).
  bool read = true;
  auto number = [&](const char* key, long fallback) {
    const Setting* setting = Find(machine, known->name, key);
    long value = fallback;
    if (setting) read = LeadingNumber(setting->value, 0, &value) && read;
    return value;
  };
  card->port = number("addr", 0x220);
  card->irq = known->set ? number("irq", 7) : 7;
  card->dma = known->set ? number("dma", 1) : 1;
  if (!read) card->kind = kSoundUnsaid;
}

}  // namespace

const MachineReader kPcemReader = {
    "a PCem machine", Claims, Parse, Saved, DriveC, Sound,
};
