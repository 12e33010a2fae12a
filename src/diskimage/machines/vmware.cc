// VMware's machine file (.vmx), read as VMware reads its dictionaries
// (VMware itself is closed: open-vm-tools' dictll.c is its own reader of
// the syntax, libvirt's vmx.c a reader of the devices):
//
//   rule                                            source
//   `name = value` or `name = "value"` lines, LF,   open-vm-tools lib/dict/
//     CR LF or CR ended, a UTF-8 BOM first; a '#'   dictll.c DictLL_Unmarshal-
//     outside quotes begins a comment; a line of    Line, DictLL_ReadUTF8BOM,
//     other shape is no setting                     lib/misc/vmstdio.c
//   a value's "|7C" is the byte 0x7C                lib/misc/escape.c
//                                                   Escape_Undo
//   names regardless of case; a name given twice    libvirt src/util/
//     makes VMware refuse the file                  virconf.c (VMX format);
//                                                   VMware's own refusal
//   a device is there only where its .present is    libvirt src/vmx/vmx.c
//     TRUE (none: FALSE), as is a SCSI, SATA or     virVMXParseDisk,
//     NVMe controller; one a client device is not   virVMXParseSCSI-
//                                                   Controller
//   a hard disk: a .vmdk fileName, its deviceType   vmx.c virVMXParseDisk
//     none, "disk", "ata-hardDisk" or "scsi-
//     hardDisk"; an .iso, "emptyBackingString" or
//     a CD-ROM deviceType is a CD-ROM
//   suspended: checkpoint.vmState names the state   VMware, which writes
//     file it keeps the machine in                  it on suspending
//   drive C: the first disk bios.hddOrder names,    VMware's BIOS
//     else the lowest of ide0:0, ide0:1, ide1:0,
//     ide1:1, else of one other bus by controller
//     and unit; disks on two buses without
//     bios.hddOrder depend on the BIOS's settings
//   sound.present TRUE (none: FALSE) and           VMware's documented
//     sound.virtualDev: sb16 a Sound Blaster 16,    .vmx keys
//     which the file gives no resources (the
//     card's own 220, IRQ 5, DMA 1); es1371 and
//     hdaudio no Sound Blaster; none given: VMware
//     picks by guest and hardware version
#include <string.h>
#include <strings.h>

#include <algorithm>
#include <tuple>

#include "ascii.h"
#include "diskimage/machines/reader.h"

namespace {

struct Bus {
  const char* name;
  int controllers, units;
};
const Bus kBuses[] = {
    {"ide", 2, 2}, {"scsi", 4, 16}, {"sata", 4, 30}, {"nvme", 4, 15}};
const char* const kDeviceKeys[] = {"present", "filename", "devicetype",
                                   "clientdevice"};
const char* const kOtherKeys[] = {"checkpoint.vmstate", "bios.hddorder",
                                  "config.version",     "virtualhw.version",
                                  "sound.present",      "sound.virtualdev"};

// Whether `key` (folded) is one of a device's that this reader reads:
// BUSn.present, BUSn:u.present and the like.
bool DeviceKey(const std::string& key) {
  for (const Bus& bus : kBuses) {
    size_t at = strlen(bus.name);
    if (key.compare(0, at, bus.name) != 0 || at >= key.size() ||
        key[at] < '0' || key[at] >= '0' + bus.controllers) {
      continue;
    }
    ++at;
    std::string rest = key.substr(at);
    if (rest == ".present") return true;
    size_t dot = rest.find('.');
    if (rest[0] != ':' || dot == std::string::npos || dot < 2 || dot > 3) {
      return false;
    }
    std::string unit = rest.substr(1, dot - 1);
    if (unit.find_first_not_of("0123456789") != std::string::npos ||
        atoi(unit.c_str()) >= bus.units ||
        (unit.size() > 1 && unit[0] == '0')) {
      return false;
    }
    std::string suffix = rest.substr(dot + 1);
    return std::find(std::begin(kDeviceKeys), std::end(kDeviceKeys), suffix) !=
           std::end(kDeviceKeys);
  }
  return false;
}

bool Wanted(const std::string& key) {
  return DeviceKey(key) ||
         std::find(std::begin(kOtherKeys), std::end(kOtherKeys), key) !=
             std::end(kOtherKeys);
}

// `raw` with its "|XX" escapes undone, by Escape_Undo's states.
std::string Unescape(std::string_view raw) {
  auto hex = [](char c) {
    return c >= '0' && c <= '9'   ? c - '0'
           : c >= 'a' && c <= 'f' ? c - 'a' + 10
           : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                  : -1;
  };
  std::string out;
  size_t start = 0;
  int state = 0, high = 0;
  for (size_t i = 0; i < raw.size(); ++i) {
    if (state == 0) {
      state = raw[i] == '|' ? 1 : 0;
    } else if (state == 1) {
      high = hex(raw[i]);
      state = high >= 0 ? 2 : 0;
    } else {
      if (hex(raw[i]) >= 0) {
        out.append(raw.substr(start, i - 2 - start));
        out += static_cast<char>(high << 4 | hex(raw[i]));
        start = i + 1;
      }
      state = 0;
    }
  }
  out.append(raw.substr(start));
  return out;
}

// The name (folded) and value (escapes not yet undone) of a well-formed
// line (DictLL_UnmarshalLine).
bool Unmarshal(std::string_view line, std::string* name,
               std::string_view* value) {
  auto walk = [&](size_t at, auto in) {
    while (at < line.size() && in(line[at])) ++at;
    return at;
  };
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  size_t begin = walk(0, blank);
  size_t end = walk(begin, [](char c) {
    return c != ' ' && c != '\t' && c != '#' && c != '=';
  });
  size_t at = walk(end, blank);
  if (begin == end || at >= line.size() || line[at] != '=') return false;
  at = walk(at + 1, blank);
  size_t value_begin = at, value_end;
  if (at < line.size() && line[at] == '"') {
    value_begin = at + 1;
    value_end = walk(value_begin, [](char c) { return c != '"'; });
    if (value_end >= line.size()) return false;
    at = value_end + 1;
  } else {
    value_end = walk(value_begin,
                     [](char c) { return c != ' ' && c != '\t' && c != '#'; });
    at = value_end;
  }
  at = walk(at, blank);
  if (at < line.size() && line[at] != '#') return false;
  *name = Lower(line.substr(begin, end - begin));
  *value = line.substr(value_begin, value_end - value_begin);
  return true;
}

bool Claims(const std::string& head) {
  bool claimed = false;
  std::string name;
  std::string_view value;
  ForEachLine(head, [&](std::string_view line, size_t) {
    if (!claimed && Unmarshal(line, &name, &value)) {
      claimed = name == "config.version" || name == "virtualhw.version";
    }
  });
  return claimed;
}

bool Parse(const std::string& text, Machine* machine, std::string* why) {
  std::string_view rest = text;
  if (rest.compare(0, 3, "\xEF\xBB\xBF") == 0) rest.remove_prefix(3);
  std::map<std::string, Setting>& settings = machine->settings[""];
  std::string name;
  std::string_view value;
  size_t number = 0;
  while (!rest.empty() && why->empty()) {
    size_t end = std::min(rest.find_first_of("\r\n"), rest.size());
    std::string_view line = rest.substr(0, end);
    size_t next = end + (rest.compare(end, 2, "\r\n") == 0 ? 2 : 1);
    rest.remove_prefix(std::min(next, rest.size()));
    ++number;
    if (!Unmarshal(line, &name, &value) || !Wanted(name)) continue;
    auto [setting, added] =
        settings.emplace(name, Setting{Unescape(value), number});
    if (!added) {
      *why = "whose line " + std::to_string(number) + " gives " + name +
             " again (line " + std::to_string(setting->second.line) +
             " gives it too), so VMware refuses it";
    }
  }
  return why->empty();
}

std::string Saved(const Machine& machine) {
  std::string state = Value(machine, "", "checkpoint.vmstate");
  if (state.empty()) return "";
  return "in use by a suspended VMware machine (its state is in " + state +
         "); resume it and shut it down first";
}

// A hard disk as the BIOS ranks it.
struct Disk {
  std::string place;  // "ide0:1"
  int bus, controller, unit;
  const Setting* file;
};

// Whether `key` is TRUE (vmx.c virVMXGetConfigBoolean); a value neither
// TRUE nor FALSE is refused.
bool Boolean(const Machine& machine, const std::string& key, bool* yes,
             std::string* why) {
  const Setting* setting = Find(machine, "", key);
  *yes = false;
  if (!setting || strcasecmp(setting->value.c_str(), "false") == 0) return true;
  if (strcasecmp(setting->value.c_str(), "true") == 0) return *yes = true;
  *why = std::string(machine.reader->kind) + " whose " + key + " (line " +
         std::to_string(setting->line) + ") is " + setting->value +
         ", neither TRUE nor FALSE";
  return false;
}

bool EndsWith(const std::string& text, const char* end) {
  size_t size = strlen(end);
  return text.size() >= size &&
         SameIgnoringAsciiCase(text.substr(text.size() - size),
                               std::string(end));
}

// The hard disk at `place`, where there is one; false where a setting is
// refused.
bool ReadDisk(const Machine& machine, const std::string& place, Disk* disk,
              bool* found, std::string* why) {
  bool present = false, client = false;
  *found = false;
  if (!Boolean(machine, place + ".present", &present, why) ||
      !Boolean(machine, place + ".clientdevice", &client, why)) {
    return false;
  }
  const Setting* file = Find(machine, "", place + ".filename");
  if (!present || client || !file) return true;
  std::string type = Lower(Value(machine, "", place + ".devicetype"));
  bool cdrom = type == "cdrom-image" || type == "atapi-cdrom" ||
               type == "cdrom-raw" || EndsWith(file->value, ".iso") ||
               file->value == "emptyBackingString";
  if (cdrom) return true;
  if ((!type.empty() && type != "disk" && type != "ata-harddisk" &&
       type != "scsi-harddisk") ||
      !EndsWith(file->value, ".vmdk")) {
    *why = std::string(machine.reader->kind) + " whose " + place + " (line " +
           std::to_string(file->line) + ") is a device this " +
           "program does not know (" + (type.empty() ? file->value : type) +
           ")";
    return false;
  }
  disk->place = place;
  disk->file = file;
  *found = true;
  return true;
}

MachineVerdict DriveC(const Machine& machine, MachineDisk* found) {
  std::vector<Disk> disks;
  std::string why;
  for (int b = 0; b < static_cast<int>(std::size(kBuses)); ++b) {
    const Bus& bus = kBuses[b];
    for (int c = 0; c < bus.controllers; ++c) {
      std::string controller = bus.name + std::to_string(c);
      bool present = b == 0;
      if (b > 0 && !Boolean(machine, controller + ".present", &present, &why)) {
        return Refused(machine, why, found);
      }
      for (int u = 0; present && u < bus.units; ++u) {
        Disk disk{"", b, c, u, nullptr};
        bool is_disk = false;
        if (!ReadDisk(machine, controller + ":" + std::to_string(u), &disk,
                      &is_disk, &why)) {
          return Refused(machine, why, found);
        }
        if (is_disk) disks.push_back(disk);
      }
    }
  }
  if (disks.empty()) return NoDisk(machine, "no hard disk", found);
  const Disk* first = &disks.front();
  std::string order = Lower(Value(machine, "", "bios.hddorder"));
  order = order.substr(0, order.find(','));
  auto named = std::find_if(disks.begin(), disks.end(),
                            [&](const Disk& d) { return d.place == order; });
  if (named != disks.end()) {
    first = &*named;
  } else if (disks.back().bus != first->bus) {
    return Refused(machine,
                   std::string(machine.reader->kind) +
                       " with hard disks on two buses (" + first->place + ", " +
                       disks.back().place +
                       "): which it boots depends on its BIOS's settings; "
                       "name drive C in bios.hddOrder",
                   found);
  }
  return FoundPath(machine, first->file->value,
                   first->place + ".fileName (line " +
                       std::to_string(first->file->line) + ")",
                   found);
}

void Sound(const Machine& machine, SoundCard* card) {
  card->emulator = "VMware";
  card->set_card = {
      "set sound.present = \"TRUE\" and sound.virtualDev = \"sb16\"", ""};
  bool present = false;
  std::string why;
  if (!Boolean(machine, "sound.present", &present, &why)) return;
  std::string device = Lower(Value(machine, "", "sound.virtualdev"));
  if (!present || device == "es1371" || device == "hdaudio") {
    card->kind = kSoundNone;
    if (present) card->name = "its sound card is an " + device;
  } else if (device == "sb16") {
    SetSoundBlaster16(card);
  }
}

}  // namespace

const MachineReader kVmwareReader = {
    "a VMware machine", Claims, Parse, Saved, DriveC, Sound,
};
