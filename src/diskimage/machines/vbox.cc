#include "diskimage/machines/vbox.h"

#include <fcntl.h>
#include <stdlib.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>

#include "diskimage/machines/parts.h"
#include "diskimage/machines/xml.h"
#include "helpers/io.h"

namespace {

void ReadDisks(const XmlElement& parent, const std::string& folder,
               std::vector<VboxDisk>* disks) {
  for (const XmlElement* element : Children(parent, "HardDisk")) {
    VboxDisk disk;
    disk.uuid = Attribute(*element, "uuid");
    disk.location = Absolute(Attribute(*element, "location"), folder);
    ReadDisks(*element, folder, &disk.children);
    disks->push_back(disk);
  }
}

// The first hard disk on the first IDE controller among `controllers`.
std::string DriveC(const XmlElement* controllers) {
  if (!controllers) return "";
  static const char* const kIde[] = {"PIIX3", "PIIX4", "ICH6"};
  for (const XmlElement* controller :
       Children(*controllers, "StorageController")) {
    std::string type = Attribute(*controller, "type");
    if (std::find(std::begin(kIde), std::end(kIde), type) == std::end(kIde)) {
      continue;
    }
    std::string best;
    long best_place = -1;
    for (const XmlElement* device : Children(*controller, "AttachedDevice")) {
      const XmlElement* image = Child(*device, "Image");
      if (Attribute(*device, "type") != "HardDisk" || !image) continue;
      long place = atol(Attribute(*device, "port").c_str()) * 2 +
                   atol(Attribute(*device, "device").c_str());
      if (best_place < 0 || place < best_place) {
        best_place = place;
        best = Attribute(*image, "uuid");
      }
    }
    return best;
  }
  return "";
}

}  // namespace

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

std::string VboxLocation(const VboxMachine& machine, const std::string& uuid) {
  for (const VboxDisk* disk : VboxDisks(machine)) {
    if (strcasecmp(disk->uuid.c_str(), uuid.c_str()) == 0) {
      return disk->location;
    }
  }
  return "";
}

bool ReadVbox(const std::string& path, VboxMachine* machine) {
  *machine = VboxMachine();
  std::string text;
  XmlElement root;
  if (!ReadMachineText(path, &text) || !ParseXml(text, &root) ||
      root.name != "VirtualBox") {
    return false;
  }
  const XmlElement* machine_element = Child(root, "Machine");
  const XmlElement* registry =
      machine_element ? Child(*machine_element, "MediaRegistry") : nullptr;
  const XmlElement* disks = registry ? Child(*registry, "HardDisks") : nullptr;
  std::string folder = FolderOf(path);
  if (disks) ReadDisks(*disks, folder, &machine->disks);
  if (machine_element) {
    const XmlElement* hardware = Child(*machine_element, "Hardware");
    machine->drive_c = DriveC(Child(*machine_element, "StorageControllers"));
    if (machine->drive_c.empty() && hardware) {
      machine->drive_c = DriveC(Child(*hardware, "StorageControllers"));
    }
    std::string state = Attribute(*machine_element, "stateFile");
    if (!state.empty()) machine->state_file = Absolute(state, folder);
  }
  return true;
}
