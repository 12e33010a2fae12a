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
//   [Sound] sndcard, sndcard2..4 name the cards by   config.c load_sound,
//     their internal names (none where not given);  src/sound/sound.c
//     gameblaster, gus, ssi2001 = 1 add cards of    sound_card_init
//     no Sound Blaster; "internal" is the board's
//   card N's own section is its name and " #N",      src/device.c device_
//     else its name alone                            set_context
//   base (hex, 4 digits at most), irq, dma (C's      snd_sb.c device_
//     numbers, true 1, false 0; nothing read 0)      config_t tables, sb_
//     over each card's defaults; SB 1.x and 2.0      init; utils/ini.c ini_
//     on DMA 1 always; PnP and MCA cards are set     section_get_hex16,
//     up by the machine, not the file               ini_section_get_int
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <algorithm>
#include <iterator>
#include <set>

#include "diskimage/machines/reader.h"

namespace {

const int kDisks = 88;             // HDD_NUM
const size_t kLongestLine = 1023;  // fgetws into 1024 wide characters
const size_t kLongestPath = 500;   // load_image_file's bound, near enough
const char kSection[] = "Hard disks";
const char* const kKeys[] = {"parameters",    "fn",          "ide_channel",
                             "scsi_location", "scsi_id",     "mfm_channel",
                             "xta_channel",   "esdi_channel"};

// The Sound Blasters of snd_sb.c whose resources the file sets: their
// internal names, names (their sections), T, and defaults.
const struct Card {
  const char* sndcard;
  const char* name;
  long type, irq;
  bool dma;  // its DMA set in the file, else 1
} kCards[] = {
    {"sb", "Sound Blaster v1.0", 1, 7, false},
    {"sb1.5", "Sound Blaster v1.5", 1, 7, false},
    {"sb2.0", "Sound Blaster v2.0", 3, 5, false},
    {"thunderboard", "MediaVision ThunderBoard", 3, 7, false},
    {"sbprov1", "Sound Blaster Pro v1", 2, 7, true},
    {"sbprov2", "Sound Blaster Pro v2", 4, 7, true},
    {"sb16", "Sound Blaster 16", 6, 5, true},
    {"sb_vibra16s", "Sound Blaster ViBRA 16S", 6, 5, true},
    {"sbawe32", "Sound Blaster AWE32", 6, 5, true},
    {"ess_es688", "ESS AudioDrive ES688", 4, 5, true},
    {"ess_es1688", "ESS AudioDrive ES1688", 4, 5, true},
};
const char* const kSlots[] = {"sndcard", "sndcard2", "sndcard3", "sndcard4"};
const char* const kLegacyCards[] = {"gameblaster", "gus", "ssi2001"};

// A card's own section: its name, or its name and " #1" to " #4".
bool CardSection(const std::string& section) {
  for (const Card& card : kCards) {
    size_t size = strlen(card.name);
    if (section.compare(0, size, card.name) == 0 &&
        (section.size() == size ||
         (section.size() == size + 3 && section.compare(size, 2, " #") == 0 &&
          section[size + 2] >= '1' && section[size + 2] <= '4'))) {
      return true;
    }
  }
  return false;
}

bool KeptSection(const std::string& section) {
  return section == kSection || section == "Sound" || CardSection(section);
}

// hdd_NN_SUFFIX with NN from 01 to 88, SUFFIX one read here; the sound
// cards' settings.
bool Wanted(const std::string& section, const std::string& key) {
  if (section == "Sound") {
    return std::find(std::begin(kSlots), std::end(kSlots), key) !=
               std::end(kSlots) ||
           std::find(std::begin(kLegacyCards), std::end(kLegacyCards), key) !=
               std::end(kLegacyCards);
  }
  if (CardSection(section)) {
    return key == "base" || key == "irq" || key == "dma";
  }
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
  bool first = true;           // the first of its name
  std::set<std::string> seen;  // the sections kept so far
  Lines(text, [&](std::string_view line, size_t number) {
    size_t c = line.find_first_not_of(" \t");
    if (c == std::string_view::npos || line[c] == '#' || line[c] == ';') return;
    if (line[c] == '[') {
      size_t close = line.find(']', c);
      if (close == std::string_view::npos) return;
      section = std::string(line.substr(c + 1, close - c - 1));
      first = !KeptSection(section) || seen.insert(section).second;
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

// ini_section_get_int: true 1, false 0, else sscanf's %i (0 where it
// reads nothing).
long IniInt(const std::string& value) {
  if (strcasecmp(value.c_str(), "true") == 0) return 1;
  long number = 0;
  LeadingNumber(value, 0, &number);
  return number;
}

// The card in slot `slot` (`sndcard`) into `card`: false where no Sound
// Blaster of the table.
bool ReadCard(const Machine& machine, int slot, const std::string& sndcard,
              SoundCard* card) {
  auto known =
      std::find_if(std::begin(kCards), std::end(kCards),
                   [&](const Card& c) { return sndcard == c.sndcard; });
  if (known == std::end(kCards)) return false;
  // The numbered section, as 86Box writes it, unless only the plain one
  // is there.
  std::string section = std::string(known->name) + " #" + std::to_string(slot);
  if (!machine.settings.count(section) && machine.settings.count(known->name)) {
    section = known->name;
  }
  const Blaster& line = BlasterLine();
  std::string in = "[" + section + "]";
  card->kind = kSoundCard;
  card->name = known->name;
  card->type = known->type;
  char hex[24];  // as ini_section_set_hex16 writes it
  snprintf(hex, sizeof hex, "%04lX", static_cast<unsigned long>(line.port));
  card->set_port = {std::string("base = ") + hex, in};
  card->set_irq = {"irq = " + std::to_string(line.irq), in};
  card->set_dma = {};
  if (known->dma) card->set_dma = {"dma = " + std::to_string(line.dma), in};
  const Setting* base = Find(machine, section, "base");
  const Setting* irq = Find(machine, section, "irq");
  const Setting* dma = Find(machine, section, "dma");
  card->port = 0x220;
  if (base) LeadingNumber(base->value, 16, &card->port, 4);
  card->irq = irq ? IniInt(irq->value) : known->irq;
  card->dma = dma && known->dma ? IniInt(dma->value) : 1;
  return true;
}

// The Sound Blaster that matters of up to four cards (ChosenCard); with
// none of the table, a card this reader does not know keeps it from
// saying.
void Sound(const Machine& machine, SoundCard* card) {
  card->emulator = "86Box";
  card->set_card = {"sndcard = sb16", "[Sound]"};
  bool other = false;
  for (const char* legacy : kLegacyCards) {
    other = other || IniInt(Value(machine, "Sound", legacy)) == 1;
  }
  std::vector<SoundCard> cards;
  for (int slot = 0; slot < 4; ++slot) {
    std::string sndcard = Value(machine, "Sound", kSlots[slot]);
    SoundCard found = *card;
    if (ReadCard(machine, slot + 1, sndcard, &found)) {
      cards.push_back(found);
    } else {
      other = other || (!sndcard.empty() && sndcard != "none");
    }
  }
  const SoundCard* chosen = ChosenCard(cards);
  std::string agrees, differs;
  if (chosen) SaySoundCard(*chosen, &agrees, &differs);
  if (other && agrees.empty()) return;
  if (chosen) *card = *chosen;
  if (!chosen) card->kind = kSoundNone;
}

}  // namespace

const MachineReader k86BoxReader = {
    "an 86Box machine", Claims, Parse, Saved, DriveC, Sound,
};
