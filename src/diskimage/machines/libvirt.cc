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
//   kept saved: a managed save NAME.save in the     libvirt src/qemu/
//     save folder of qemu:///system (/var/lib/      qemu_conf.c virQEMU-
//     libvirt/qemu/save) or of qemu:///session      DriverConfigNew
//     ($XDG_CONFIG_HOME/libvirt/qemu/save)
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
  int kind;    // IDE first
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

bool ReadDisk(const XmlElement& element, Disk* disk) {
  std::string device = Attribute(element, "device");
  const XmlElement* target = Child(element, "target");
  if ((!device.empty() && device != "disk" && device != "lun") || !target) {
    return false;
  }
  disk->element = &element;
  disk->dev = Attribute(*target, "dev");
  std::string bus = Attribute(*target, "bus");
  if (bus.empty()) {
    bus = disk->dev.compare(0, 2, "sd") == 0   ? "scsi"
          : disk->dev.compare(0, 2, "vd") == 0 ? "virtio"
                                               : "ide";
  }
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

MachineVerdict DriveC(const Machine& machine, MachineDisk* found) {
  std::vector<Disk> disks;
  const XmlElement* devices = Child(machine.xml, "devices");
  for (const XmlElement* element : devices ? Children(*devices, "disk")
                                           : std::vector<const XmlElement*>{}) {
    Disk disk;
    if (ReadDisk(*element, &disk)) disks.push_back(disk);
  }
  if (disks.empty()) return NoDisk(machine, "no hard disk", found);
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

}  // namespace

const MachineReader kLibvirtReader = {
    "a libvirt machine", Claims, Parse, Saved, DriveC,
};
