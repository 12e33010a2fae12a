// VirtualBox's machine file (.vbox), read as VirtualBox reads it:
//
//   rule                                            VirtualBox's source
//   XML whose root is <VirtualBox>, its <Machine>   Main/xml/Settings.cpp
//                                                   ConfigFileBase::
//                                                   ConfigFileBase
//   a registry of <HardDisk>s, a differencing one   Settings.cpp
//     nested under its parent, each a UUID and a    readMediumOne
//     location, relative to the machine's folder
//   the current state's controllers: <Storage-      Settings.cpp
//     Controllers> in <Machine> (a <Snapshot>       readMachine,
//     keeps its own), or in <Hardware>              readStorageControllers
//   saved: a stateFile on <Machine>                 Settings.cpp readMachine
//   drive C: the hard disk of the IDE controller    PC/BIOS/ata.c ata_detect
//     (PIIX3, PIIX4, ICH6) at the lowest port,
//     then device
//   a disk whose header's UUID is not the one the   Main/src-server/
//     registry gives, or whose header's parent is   MediumImpl.cpp
//     not its registry parent, is inaccessible      Medium::i_queryInfo
//   a differencing disk's parent is the one the     Medium::i_queryInfo
//     registry nests it under
//   sound: <Hardware><AudioAdapter> enabled (true,  Settings.cpp readAudio-
//     yes, 1; false, no, 0), by default for files   Adapter, readHardware,
//     of settings 1.16 and later off, on before;    AudioAdapter::Audio-
//     controller SB16 a Sound Blaster 16 (AC97 by   Adapter; Runtime/r3/
//     default, and HDA: none)                       xml.cpp getAttributeValue
//   an SB16 on port 0x220, IRQ 5, DMA 1, its DSP    Main/src-client/Console-
//     version 0x0405, unless the machine's          ImplConfigX86.cpp; Dev-
//     ExtraDataItem VBoxInternal/Devices/sb16/0/    SB16.cpp sb16Construct,
//     Config/Port, IRQ, DMA or Version gives a      sb16HandleDspCommand
//     number (an older DSP: an older card to DOS    (E1h)
//     programs)
#include <limits.h>
#include <stdio.h>
#include <strings.h>

#include <algorithm>
#include <iterator>

#include "diskimage/formats/bytes.h"
#include "diskimage/machines/reader.h"
#include "diskimage/machines/vbox.h"
#include "helpers/paths.h"

namespace {

const char* const kKept[] = {
    "VirtualBox/Machine/MediaRegistry/HardDisks/HardDisk+",
    "VirtualBox/Machine/StorageControllers/StorageController/AttachedDevice/"
    "Image",
    "VirtualBox/Machine/Hardware/StorageControllers/StorageController/"
    "AttachedDevice/Image",
    "VirtualBox/Machine/Hardware/AudioAdapter",
    "VirtualBox/Machine/ExtraData/ExtraDataItem",
};

void ReadDisks(const XmlElement& parent, const std::string& folder,
               std::vector<VboxDisk>* disks) {
  for (const XmlElement* element : Children(parent, "HardDisk")) {
    VboxDisk disk;
    disk.uuid = Attribute(*element, "uuid");
    const std::string& given = Attribute(*element, "location");
    if (given.size() <= PATH_MAX) disk.given = given;
    disk.location = disk.given.empty() ? "" : Absolute(disk.given, folder);
    disk.line = element->line;
    ReadDisks(*element, folder, &disk.children);
    disks->push_back(disk);
  }
}

bool IsIde(const XmlElement& controller) {
  static const char* const kIde[] = {"PIIX3", "PIIX4", "ICH6"};
  std::string type = Attribute(controller, "type");
  return std::find(std::begin(kIde), std::end(kIde), type) != std::end(kIde);
}

// The hard disks `controllers` attach into `machine`, drive C the one of
// the IDE controller at the lowest port and device.
void ReadAttached(const XmlElement& controllers, VboxMachine* machine) {
  long best_place = -1;
  for (const XmlElement* controller :
       Children(controllers, "StorageController")) {
    for (const XmlElement* device : Children(*controller, "AttachedDevice")) {
      const XmlElement* image = Child(*device, "Image");
      if (Attribute(*device, "type") != "HardDisk" || !image) continue;
      std::string uuid = Attribute(*image, "uuid");
      machine->attached.push_back(uuid);
      long place = atol(Attribute(*device, "port").c_str()) * 2 +
                   atol(Attribute(*device, "device").c_str());
      if (IsIde(*controller) && (best_place < 0 || place < best_place)) {
        best_place = place;
        machine->drive_c = uuid;
      }
    }
  }
}

void FromXml(const XmlElement& root, const std::string& folder,
             VboxMachine* machine) {
  *machine = VboxMachine();
  const XmlElement* element = Child(root, "Machine");
  if (!element) return;
  const XmlElement* registry = Child(*element, "MediaRegistry");
  const XmlElement* disks = registry ? Child(*registry, "HardDisks") : nullptr;
  if (disks) ReadDisks(*disks, folder, &machine->disks);
  const XmlElement* hardware = Child(*element, "Hardware");
  const XmlElement* controllers = Child(*element, "StorageControllers");
  if (!controllers && hardware) {
    controllers = Child(*hardware, "StorageControllers");
  }
  if (controllers) ReadAttached(*controllers, machine);
  const std::string& stated = Attribute(*element, "stateFile");
  std::string state = stated.size() > PATH_MAX ? "(a path too long)" : stated;
  if (!state.empty()) machine->state_file = Absolute(state, folder);
  if (!state.empty() && machine->state_file.empty()) {
    machine->state_file = state;
  }
}

bool SameUuid(const std::string& a, const std::string& b) {
  auto bare = [](const std::string& uuid) {
    return uuid.size() > 2 && uuid.front() == '{' && uuid.back() == '}'
               ? uuid.substr(1, uuid.size() - 2)
               : uuid;
  };
  return strcasecmp(bare(a).c_str(), bare(b).c_str()) == 0;
}

bool Claims(const std::string& head) {
  return XmlRootName(head) == "VirtualBox";
}

bool Parse(const std::string& text, Machine* machine, std::string* why) {
  std::vector<std::string> kept(std::begin(kKept), std::end(kKept));
  if (!ParseXml(text, kept, &machine->xml, why)) {
    *why = "that is not well formed XML (" + *why + ")";
    return false;
  }
  return true;
}

std::string Saved(const Machine& machine) {
  VboxMachine vbox;
  FromXml(machine.xml, machine.folder, &vbox);
  if (vbox.state_file.empty()) return "";
  return "in use by a saved VirtualBox machine (its state is in " +
         vbox.state_file +
         "); discard its saved state or start and shut it down first";
}

// The UUIDs a VDI's header gives itself and its parent, where `path`
// holds a VDI.
bool VdiUuids(const std::string& path, std::string* own, std::string* parent) {
  const uint64_t kSignature = 0xBEDA107F;
  std::string header;
  ReadRegular(path, 0x1B8, &header);
  if (header.size() < 0x1B8 || LittleEndian(header, 0x40, 4) != kSignature) {
    return false;
  }
  *own = "{" + GuidText(header.substr(0x188, 16)) + "}";
  *parent = "{" + GuidText(header.substr(0x1A8, 16)) + "}";
  return true;
}

// Where the registry and the headers of drive C's chain disagree, a line
// that says how, as VirtualBox finds such a disk inaccessible.
std::string Disagreement(const Machine& machine,
                         const std::vector<const VboxDisk*>& chain) {
  for (size_t i = 0; i < chain.size(); ++i) {
    std::string own, parent;
    if (!VdiUuids(chain[i]->location, &own, &parent)) continue;
    std::string where = machine.name + " (line " +
                        std::to_string(chain[i]->line) + ") gives " +
                        chain[i]->given;
    if (!SameUuid(own, chain[i]->uuid)) {
      return where.append(" the UUID ")
          .append(chain[i]->uuid)
          .append(", but its header says ")
          .append(own)
          .append("; VirtualBox finds it inaccessible");
    }
    if (i + 1 < chain.size() && !SameUuid(parent, chain[i + 1]->uuid)) {
      return where.append(" the parent ")
          .append(chain[i + 1]->given)
          .append(" ")
          .append(chain[i + 1]->uuid)
          .append(", but its header links to ")
          .append(parent)
          .append("; VirtualBox finds it inaccessible");
    }
  }
  return "";
}

MachineVerdict DriveC(const Machine& machine, MachineDisk* found) {
  VboxMachine vbox;
  FromXml(machine.xml, machine.folder, &vbox);
  if (vbox.drive_c.empty()) {
    return NoDisk(machine, "no hard disk on an IDE controller", found);
  }
  std::vector<const VboxDisk*> chain;
  const VboxDisk* parent = nullptr;
  for (std::string uuid = vbox.drive_c;; uuid = parent->uuid) {
    const VboxDisk* disk = VboxFind(vbox, uuid, &parent);
    if (!disk || chain.size() > 16) break;
    chain.push_back(disk);
    if (!parent) break;
  }
  if (chain.empty()) {
    return NoDisk(
        machine,
        "drive C as " + vbox.drive_c + ", a disk its registry does not hold",
        found);
  }
  if (chain[0]->given.empty()) {
    return NoDisk(machine,
                  "drive C in a registry entry (line " +
                      std::to_string(chain[0]->line) +
                      ") whose location is empty or a path longer than any",
                  found);
  }
  MachineVerdict verdict =
      FoundPath(machine, chain[0]->given,
                "registry entry (line " + std::to_string(chain[0]->line) +
                    ") for drive C",
                found);
  if (verdict != kMachineDisk) return verdict;
  std::string disagreement = Disagreement(machine, chain);
  if (!disagreement.empty()) return Refused(machine, disagreement, found);
  for (size_t i = 1; i < chain.size() && !chain[i]->location.empty(); ++i) {
    found->parents.push_back(chain[i]->location);
  }
  return kMachineDisk;
}

void Sound(const Machine& machine, SoundCard* card) {
  card->emulator = "VirtualBox";
  card->set_card = {
      "add <AudioAdapter controller=\"SB16\" enabled=\"true\"/> to its "
      "<Hardware>",
      ""};
  const XmlElement* element = Child(machine.xml, "Machine");
  const XmlElement* hardware = element ? Child(*element, "Hardware") : nullptr;
  if (!hardware) return;
  // "1.16-linux": settings 1.16 and later leave audio off by default.
  long major = 0, minor = 0;
  if (sscanf(Attribute(machine.xml, "version").c_str(), "%ld.%ld", &major,
             &minor) != 2) {
    return;
  }
  bool enabled = major < 1 || (major == 1 && minor < 16);
  const XmlElement* audio = Child(*hardware, "AudioAdapter");
  std::string controller = "AC97";
  if (audio) {
    card->set_card = {
        "controller=\"SB16\" enabled=\"true\"",
        "its <AudioAdapter> (line " + std::to_string(audio->line) + ")"};
    const std::string& on = Attribute(*audio, "enabled");
    if (on == "true" || on == "yes" || on == "1") enabled = true;
    if (on == "false" || on == "no" || on == "0") enabled = false;
    if (!Attribute(*audio, "controller").empty()) {
      controller = Attribute(*audio, "controller");
    }
  }
  if (controller != "SB16" && controller != "AC97" && controller != "HDA") {
    return;  // VirtualBox refuses the file
  }
  if (!enabled || controller != "SB16") {
    card->kind = kSoundNone;
    card->name =
        enabled ? "its audio controller is " + controller : "its audio is off";
    return;
  }
  SetSoundBlaster16(card);
  const char* const kKeys[] = {"Port", "IRQ", "DMA", "Version"};
  long version = 0x0405;
  long* fields[] = {&card->port, &card->irq, &card->dma, &version};
  SoundFix* fixes[] = {&card->set_port, &card->set_irq, &card->set_dma,
                       &card->set_card};
  const XmlElement* extra = element ? Child(*element, "ExtraData") : nullptr;
  for (const XmlElement* item : extra ? Children(*extra, "ExtraDataItem")
                                      : std::vector<const XmlElement*>{}) {
    const std::string& name = Attribute(*item, "name");
    for (int i = 0; i < 4; ++i) {
      if (name !=
          std::string("VBoxInternal/Devices/sb16/0/Config/") + kKeys[i]) {
        continue;
      }
      // Console::i_configConstructorInner: a number of any base, "integer:"
      // first or not, else a string, which the SB16 refuses.
      std::string value = Attribute(*item, "value");
      if (value.compare(0, 8, "integer:") == 0) value.erase(0, 8);
      if (!WholeNumber(value, 0, fields[i])) {
        card->kind = kSoundUnsaid;
      }
      const Blaster& line = BlasterLine();
      long wanted[] = {line.port, line.irq, line.dma, 0x0405};
      *fixes[i] = {"value=\"" +
                       (i == 0 || i == 3 ? "0x" + Hex(wanted[i])
                                         : std::to_string(wanted[i])) +
                       "\"",
                   "its ExtraDataItem " + name + " (line " +
                       std::to_string(item->line) + ")"};
    }
  }
  SetDspVersion(version, card->set_card, card);
}

}  // namespace

const MachineReader kVirtualBoxReader = {
    "a VirtualBox machine", Claims, Parse, Saved, DriveC, Sound,
};

std::vector<const VboxDisk*> VboxDisks(const VboxMachine& machine) {
  std::vector<const VboxDisk*> all, pending;
  for (const VboxDisk& disk : machine.disks) pending.push_back(&disk);
  while (!pending.empty()) {
    all.push_back(pending.back());
    pending.pop_back();
    for (const VboxDisk& child : all.back()->children) {
      pending.push_back(&child);
    }
  }
  return all;
}

const VboxDisk* VboxFind(const VboxMachine& machine, const std::string& uuid,
                         const VboxDisk** parent) {
  std::vector<std::pair<const VboxDisk*, const VboxDisk*>> pending;
  for (const VboxDisk& disk : machine.disks)
    pending.emplace_back(&disk, nullptr);
  while (!pending.empty()) {
    auto [disk, above] = pending.back();
    pending.pop_back();
    if (SameUuid(disk->uuid, uuid)) {
      if (parent) *parent = above;
      return disk;
    }
    for (const VboxDisk& child : disk->children) {
      pending.emplace_back(&child, disk);
    }
  }
  return nullptr;
}

bool ReadVbox(const std::string& path, VboxMachine* machine) {
  *machine = VboxMachine();
  std::string text;
  Machine parsed;
  std::string why;
  if (!ReadRegular(path, kLargestMachineFile + 1, &text) ||
      text.size() > kLargestMachineFile || !Claims(text) ||
      !Parse(text, &parsed, &why)) {
    return false;
  }
  FromXml(parsed.xml, FolderOf(path), machine);
  return true;
}

std::string SavedVboxUsing(const std::string& folder, const struct stat& st) {
  std::vector<std::string> folders = {folder};
  if (folder != "/") folders.push_back(FolderOf(folder));
  for (const std::string& where : folders) {
    for (const std::string& path : FilesEndingIn(where, ".vbox")) {
      VboxMachine machine;
      if (!ReadVbox(path, &machine) || machine.state_file.empty()) continue;
      for (const std::string& uuid : machine.attached) {
        const VboxDisk* disk = VboxFind(machine, uuid);
        struct stat attached;
        if (disk && !disk->location.empty() &&
            stat(disk->location.c_str(), &attached) == 0 &&
            attached.st_dev == st.st_dev && attached.st_ino == st.st_ino) {
          return path;
        }
      }
    }
  }
  return "";
}
