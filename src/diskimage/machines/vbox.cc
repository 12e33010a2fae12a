#include "diskimage/machines/vbox.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "diskimage/machines/xml.h"
#include "helpers/io.h"

namespace {

const off_t kLargestMachineFile = 4 << 20;

// A location as the file writes it (Windows separators on a Windows host)
// made absolute from the machine file's folder.
std::string Absolute(std::string location, const std::string& folder) {
  std::replace(location.begin(), location.end(), '\\', '/');
  if (!location.empty() && location[0] == '/') return location;
  return folder + "/" + location;
}

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

}  // namespace

bool ReadVbox(const std::string& path, VboxMachine* machine) {
  *machine = VboxMachine();
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  std::string text;
  bool read = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
              st.st_size <= kLargestMachineFile && ReadAll(fd, &text);
  close(fd);
  XmlElement root;
  if (!read || !ParseXml(text, &root) || root.name != "VirtualBox") {
    return false;
  }
  const XmlElement* machine_element = Child(root, "Machine");
  const XmlElement* registry =
      machine_element ? Child(*machine_element, "MediaRegistry") : nullptr;
  const XmlElement* disks = registry ? Child(*registry, "HardDisks") : nullptr;
  std::string folder = path.substr(0, path.rfind('/'));
  if (disks) ReadDisks(*disks, folder.empty() ? "/" : folder, &machine->disks);
  return true;
}
