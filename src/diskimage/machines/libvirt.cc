// A libvirt domain (`virsh dumpxml NAME`), read as libvirt reads it and
// booted as SeaBIOS, QEMU's BIOS, numbers its hard disks:
//
//   rule                                            source
//   XML whose root is <domain>; its disks are       libvirt src/conf/
//     <devices><disk>, a hard disk's device "disk"  domain_conf.c
//     (the default) or "lun"; a file disk's file    virDomainDiskDefParseXML
//     in <source file=>
//   a disk's bus is <target bus=>, else its dev's   virDomainDiskDefParseXML
//     prefix says (hd IDE, sd SCSI, vd virtio)
//   its place is <address controller= bus= unit=>,  virDomainDiskDefAssign-
//     else its dev's: hda 0:0:0, hdb 0:0:1, hdc     Address, src/util/
//     0:1:0, hdd 0:1:1 (IDE), sda 0:0:0...          virutil.c virDiskName-
//                                                   ToIndex
//   SeaBIOS numbers hard disks by boot priority:    SeaBIOS src/boot.c
//     those with <boot order='N'/> by N first,      bootentry_add,
//     then the rest by kind (IDE, SATA, virtio,     src/block.h DTYPE_*
//     USB, SCSI) and place
//   where no device has a <boot order>, <os><boot   domain_postparse.c
//     dev='hd'/> (the default where no <boot dev>   virDomainDefBootOrder-
//     is given) is a boot index on the first hard   PostParse; qemu_process.c
//     disk in libvirt's order of its disks: buses   qemuProcessPrepareDevice-
//     as each first comes, each by its dev          Bootorder; domain_conf.c
//                                                   virDomainDiskInsert-
//                                                   PreAlloced
//   kept saved: a managed save NAME.save in the     libvirt src/qemu/
//     save folder of qemu:///system (/var/lib/      qemu_conf.c virQEMU-
//     libvirt/qemu/save) or of qemu:///session      DriverConfigNew
//     ($XDG_CONFIG_HOME/libvirt/qemu/save)
//   the sound card: each <sound model='sb16'> is a   libvirt src/qemu/
//     QEMU -device sb16 (other models no Sound      qemu_command.c qemu-
//     Blaster), its <address type='isa'> given as   BuildSoundDevCmd, qemu-
//     iobase= (0 where not written) and irq= (where BuildDeviceAddressProps;
//     not 0), both in hex                           domain_conf.c ISA address
//   over QEMU's sb16 properties iobase 0x220, irq   QEMU hw/audio/sb16.c
//     5, dma 1 and version 0x0405 (the DSP's, which  sb16_properties, dsp_
//     DOS programs take for the card: 2.01 a 2.0),  write (E1h); softmmu
//     which a qemu:arg -global                      qdev_prop_set_globals
//     sb16.PROP=VALUE sets for every one first; a
//     qemu:arg -device sb16,PROP=VALUE adds one;
//     numbers as C's strtoul in base 0 reads them
//     whole; a domain not run by QEMU, another
//     qemu:arg naming sb16, a -set or a
//     <qemu:override> of a device: the file cannot
//     say
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <iterator>
#include <tuple>

#include "diskimage/machines/reader.h"

namespace {

const char* const kKept[] = {
    "domain/name",
    "domain/devices/disk/source",
    "domain/devices/disk/target",
    "domain/devices/disk/address",
    "domain/devices/disk/boot",
    "domain/devices/interface/boot",
    "domain/devices/hostdev/boot",
    "domain/devices/redirdev/boot",
    "domain/os/boot",
    "domain/devices/sound/address",
    "domain/commandline/arg",
    "domain/override/device",
};

bool Claims(const std::string& head) {
  return XmlRootName(head) == "domain";
}

bool Parse(const std::string& text, Machine* machine, std::string* why) {
  std::vector<std::string> kept(std::begin(kKept), std::end(kKept));
  if (!ParseXml(text, kept, &machine->xml, why)) {
    *why = "that is not well formed XML (" + *why + ")";
    return false;
  }
  return true;
}

// Where libvirt keeps a domain's managed save, system-wide and per user.
std::vector<std::string> SaveFolders() {
  std::vector<std::string> folders = {"/var/lib/libvirt/qemu/save"};
  const char* config = getenv("XDG_CONFIG_HOME");
  const char* home = getenv("HOME");
  if (config && *config == '/') {
    folders.push_back(std::string(config) + "/libvirt/qemu/save");
  } else if (home && *home == '/') {
    folders.push_back(std::string(home) + "/.config/libvirt/qemu/save");
  }
  return folders;
}

std::string Saved(const Machine& machine) {
  const XmlElement* name = Child(machine.xml, "name");
  // A name no file can hold is none libvirt keeps a save for.
  if (!name || name->text.empty() || name->text.size() > 250 ||
      name->text.find('/') != std::string::npos) {
    return "";
  }
  for (const std::string& folder : SaveFolders()) {
    std::string saved = folder + "/" + name->text + ".save";
    struct stat st;
    if (stat(saved.c_str(), &st) == 0) {
      return "in use by a libvirt machine kept saved (" + saved +
             "); start it and shut it down first";
    }
  }
  return "";
}

// A hard disk as SeaBIOS ranks it.
struct Disk {
  const XmlElement* element;
  std::string dev;
  long order;  // its boot order, or LONG_MAX
  // Its place in libvirt's order: its bus's (as buses first come), its
  // dev's index there, and where the file gives it.
  std::tuple<size_t, long, size_t> listed;
  int kind;  // IDE first
  long controller, bus, unit;
  bool operator<(const Disk& other) const {
    return std::tie(order, kind, controller, bus, unit) <
           std::tie(other.order, other.kind, other.controller, other.bus,
                    other.unit);
  }
};

// The index of a disk's dev ("hdc" is 2, "sdaa" 26), or -1.
long DevIndex(const std::string& dev) {
  static const char* const kPrefixes[] = {"hd", "sd", "vd", "xvd", "ubd"};
  for (const char* prefix : kPrefixes) {
    std::string p = prefix;
    if (dev.compare(0, p.size(), p) != 0 || dev.size() == p.size() ||
        dev.size() > p.size() + 6) {
      continue;
    }
    long index = 0;
    for (size_t i = p.size(); i < dev.size(); ++i) {
      if (dev[i] < 'a' || dev[i] > 'z') return -1;
      index = (index + (i > p.size() ? 1 : 0)) * 26 + (dev[i] - 'a');
    }
    return index;
  }
  return -1;
}

// A disk's bus: <target bus=>, else as its dev's prefix says.
std::string Bus(const XmlElement& target) {
  std::string bus = Attribute(target, "bus");
  if (bus.empty()) {
    const std::string& dev = Attribute(target, "dev");
    bus = dev.compare(0, 2, "sd") == 0   ? "scsi"
          : dev.compare(0, 2, "vd") == 0 ? "virtio"
                                         : "ide";
  }
  return bus;
}

bool ReadDisk(const XmlElement& element, Disk* disk) {
  std::string device = Attribute(element, "device");
  const XmlElement* target = Child(element, "target");
  if ((!device.empty() && device != "disk" && device != "lun") || !target) {
    return false;
  }
  disk->element = &element;
  disk->dev = Attribute(*target, "dev");
  std::string bus = Bus(*target);
  static const char* const kKinds[] = {"ide", "sata", "virtio", "usb", "scsi"};
  const char* const* kind =
      std::find(std::begin(kKinds), std::end(kKinds), bus);
  disk->kind = static_cast<int>(kind - std::begin(kKinds));
  long index = DevIndex(disk->dev);
  long per_bus = bus == "ide" ? 2 : bus == "sata" ? 6 : bus == "scsi" ? 7 : 1;
  long buses = bus == "ide" ? 2 : 1;
  disk->controller = index / (per_bus * buses);
  disk->bus = index % (per_bus * buses) / per_bus;
  disk->unit = index % per_bus;
  const XmlElement* address = Child(element, "address");
  if (address && Attribute(*address, "type") == "drive") {
    disk->controller = atol(Attribute(*address, "controller").c_str());
    disk->bus = atol(Attribute(*address, "bus").c_str());
    disk->unit = atol(Attribute(*address, "unit").c_str());
  }
  const XmlElement* boot = Child(element, "boot");
  disk->order = boot ? atol(Attribute(*boot, "order").c_str()) : 0;
  if (disk->order <= 0) disk->order = LONG_MAX;
  return true;
}

// Whether <os><boot dev='hd'/> gives the first hard disk a boot index:
// where no device has a <boot order> of its own, and hd is among the
// <boot dev>s, or none is given.
bool BootsFirstHardDisk(const Machine& machine) {
  const XmlElement* devices = Child(machine.xml, "devices");
  for (const XmlElement& device :
       devices ? devices->children : std::vector<XmlElement>{}) {
    if (Child(device, "boot")) return false;
  }
  const XmlElement* os = Child(machine.xml, "os");
  std::vector<const XmlElement*> boots =
      os ? Children(*os, "boot") : std::vector<const XmlElement*>{};
  return boots.empty() ||
         std::any_of(boots.begin(), boots.end(), [](const XmlElement* boot) {
           return Attribute(*boot, "dev") == "hd";
         });
}

MachineVerdict DriveC(const Machine& machine, MachineDisk* found) {
  std::vector<Disk> disks;
  std::vector<std::string> buses;  // as they first come
  const XmlElement* devices = Child(machine.xml, "devices");
  std::vector<const XmlElement*> elements =
      devices ? Children(*devices, "disk") : std::vector<const XmlElement*>{};
  for (size_t i = 0; i < elements.size(); ++i) {
    const XmlElement* target = Child(*elements[i], "target");
    if (!target) continue;
    std::string bus = Bus(*target);
    size_t group = std::find(buses.begin(), buses.end(), bus) - buses.begin();
    if (group == buses.size()) buses.push_back(bus);
    Disk disk;
    if (!ReadDisk(*elements[i], &disk)) continue;
    disk.listed = {group, DevIndex(disk.dev), i};
    disks.push_back(disk);
  }
  if (disks.empty()) return NoDisk(machine, "no hard disk", found);
  if (BootsFirstHardDisk(machine)) {
    std::min_element(
        disks.begin(), disks.end(),
        [](const Disk& a, const Disk& b) { return a.listed < b.listed; })
        ->order = 0;
  }
  const Disk& first = *std::min_element(disks.begin(), disks.end());
  std::string what = "first hard disk " + first.dev + " (line " +
                     std::to_string(first.element->line) + ")";
  const std::string& type = Attribute(*first.element, "type");
  const XmlElement* source = Child(*first.element, "source");
  const std::string& file =
      source ? Attribute(*source, "file") : Attribute(*first.element, "");
  if ((!type.empty() && type != "file") || file.empty()) {
    return Refused(machine,
                   std::string(machine.reader->kind) + " whose " + what +
                       " is no file disk (" + (type.empty() ? "file" : type) +
                       "), which this program cannot set up",
                   found);
  }
  return FoundPath(machine, file, what, found);
}

// The sb16 properties the BLASTER line's values are, and the DSP version
// (its T).
const char* const kProperties[] = {"iobase", "irq", "dma", "version"};

// The property `name` (any other is none of these) of `card` to `text`, a
// number in `base`, which `fix` changes; false where it is no number.
bool SetProperty(const std::string& name, const std::string& text, int base,
                 const SoundFix& fix, SoundCard* card) {
  long version = 0;
  long* fields[] = {&card->port, &card->irq, &card->dma, &version};
  SoundFix* fixes[] = {&card->set_port, &card->set_irq, &card->set_dma};
  for (int i = 0; i < 4; ++i) {
    if (name != kProperties[i]) continue;
    if (!WholeNumber(text, base, fields[i])) return false;
    if (i < 3) *fixes[i] = fix;
    if (i == 3) SetDspVersion(version, fix, card);
    return true;
  }
  return true;
}

// The BLASTER line's value of property `name`, as QEMU reads it (the
// version QEMU's own).
std::string Wanted(const std::string& name) {
  const Blaster& line = BlasterLine();
  return name == "iobase" ? "0x" + Hex(line.port)
         : name == "irq"  ? std::to_string(line.irq)
         : name == "dma"  ? std::to_string(line.dma)
                          : "0x0405";
}

// "NAME=VALUE,NAME=VALUE" set on `card`, the way `in` changes them
// (PREFIXNAME=VALUE).
bool SetProperties(const std::string& list, const std::string& prefix,
                   const std::string& in, SoundCard* card) {
  for (size_t at = 0; at < list.size();) {
    size_t end = std::min(list.find(',', at), list.size());
    std::string pair = list.substr(at, end - at);
    size_t equals = std::min(pair.find('='), pair.size());
    std::string name = pair.substr(0, equals);
    if (!SetProperty(name, pair.substr(std::min(equals + 1, pair.size())), 0,
                     {prefix + name + "=" + Wanted(name), in}, card)) {
      return false;
    }
    at = end + 1;
  }
  return true;
}

void Sound(const Machine& machine, SoundCard* card) {
  card->emulator = "libvirt";
  card->set_card = {"add <sound model='sb16'/> to its <devices>", ""};
  const std::string& type = Attribute(machine.xml, "type");
  if (type != "kvm" && type != "qemu") return;
  // QEMU's own sb16, then what -global sets for every one.
  SoundCard sb16 = *card;
  sb16.kind = kSoundCard;
  sb16.name = "Sound Blaster 16";
  sb16.type = 6;
  sb16.port = 0x220;
  sb16.irq = 5;
  sb16.dma = 1;
  SoundFix* fixes[] = {&sb16.set_port, &sb16.set_irq, &sb16.set_dma};
  for (int i = 0; i < 3; ++i) {
    *fixes[i] = {"add <qemu:arg value='-global'/><qemu:arg value='sb16." +
                     std::string(kProperties[i]) + "=" +
                     Wanted(kProperties[i]) + "'/> to its <qemu:commandline>",
                 ""};
  }
  const XmlElement* commandline = Child(machine.xml, "commandline");
  std::vector<const XmlElement*> args;
  if (commandline) args = Children(*commandline, "arg");
  std::vector<const XmlElement*> devices;  // -device sb16,...
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = Attribute(*args[i], "value");
    const XmlElement* next = i + 1 < args.size() ? args[i + 1] : nullptr;
    std::string value = next ? Attribute(*next, "value") : "";
    if (arg == "-global" && value.compare(0, 5, "sb16.") == 0) {
      std::string in = "its qemu:arg (line " + std::to_string(next->line) + ")";
      if (!SetProperties(value.substr(5), "sb16.", in, &sb16)) return;
      ++i;
    } else if (arg == "-device" &&
               (value == "sb16" || value.compare(0, 5, "sb16,") == 0)) {
      devices.push_back(next);
      ++i;
    } else if (arg.find("sb16") != std::string::npos || arg == "-set") {
      return;
    }
  }
  const XmlElement* override = Child(machine.xml, "override");
  if (override && !Children(*override, "device").empty()) return;
  std::vector<SoundCard> cards;
  std::string other;
  const XmlElement* list = Child(machine.xml, "devices");
  for (const XmlElement* sound :
       list ? Children(*list, "sound") : std::vector<const XmlElement*>{}) {
    const std::string& model = Attribute(*sound, "model");
    if (model != "sb16") {
      if (other.empty()) other = "its sound card is an " + model;
      continue;
    }
    cards.push_back(sb16);
    const XmlElement* address = Child(*sound, "address");
    if (!address || Attribute(*address, "type") != "isa") continue;
    std::string in = "the <address> of its <sound model='sb16'> (line " +
                     std::to_string(address->line) + ")";
    const Blaster& line = BlasterLine();
    const std::string& iobase = Attribute(*address, "iobase");
    const std::string& irq = Attribute(*address, "irq");
    long number = 0;
    if (!SetProperty("iobase", iobase.empty() ? "0" : iobase, 16,
                     {"iobase='0x" + Hex(line.port) + "'", in},
                     &cards.back()) ||
        (!irq.empty() && !WholeNumber(irq, 16, &number))) {
      return;
    }
    if (number > 0) {
      SetProperty("irq", irq, 16, {"irq='0x" + Hex(line.irq) + "'", in},
                  &cards.back());
    }
  }
  for (const XmlElement* device : devices) {
    cards.push_back(sb16);
    const std::string& value = Attribute(*device, "value");
    if (value.size() > 5 &&
        !SetProperties(
            value.substr(5), "",
            "its qemu:arg -device (line " + std::to_string(device->line) + ")",
            &cards.back())) {
      return;
    }
  }
  const SoundCard* chosen = ChosenCard(cards);
  if (chosen) {
    *card = *chosen;
  } else {
    card->kind = kSoundNone;
    card->name = other;
  }
}

}  // namespace

const MachineReader kLibvirtReader = {
    "a libvirt machine", Claims, Parse, Saved, DriveC, Sound,
};
