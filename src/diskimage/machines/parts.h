// What the readers of machine files (machine.h) share: paths as emulators
// give them, the verdicts, and the `key = value` files with sections most
// of them keep.
#ifndef DOSSETUP_DISKIMAGE_MACHINES_PARTS_H_
#define DOSSETUP_DISKIMAGE_MACHINES_PARTS_H_

#include <map>
#include <string>
#include <vector>

#include "diskimage/machines/machine.h"
#include "diskimage/machines/xml.h"
#include "helpers/paths.h"

// The text of the regular file at `path`, where it is one of no more than
// a machine file ever holds (4 MiB) and holds no NUL byte, as a disk image
// does in its first bytes.
bool ReadMachineText(const std::string& path, std::string* text);

// A path a machine file gives, made absolute from `folder`; Windows
// separators become '/'.
std::string Absolute(std::string path, const std::string& folder);

// `disk` is the drive C of a machine of `kind`, where it exists.
MachineVerdict Found(const std::string& kind, const std::string& disk,
                     MachineDisk* found);
// A machine of `kind` that names `what` and no drive C.
MachineVerdict NoDisk(const std::string& kind, const std::string& what,
                      MachineDisk* found);

// A file of `[section]` headings and `key = value` lines: values by
// section and key, both in lower case (the section "" before any heading),
// and each section's lines as written.
struct IniFile {
  std::map<std::string, std::map<std::string, std::string>> values;
  std::map<std::string, std::vector<std::string>> lines;
};
IniFile ReadIni(const std::string& text);

// The emulators' readers: kNoMachineFile for a file not theirs.
MachineVerdict Read86Box(const std::string& path, const IniFile& ini,
                         MachineDisk* found);
MachineVerdict ReadPcem(const IniFile& ini, MachineDisk* found);
MachineVerdict ReadDosboxX(const std::string& path, const IniFile& ini,
                           MachineDisk* found);
MachineVerdict ReadLibvirt(const std::string& path, const XmlElement& domain,
                           MachineDisk* found);

#endif  // DOSSETUP_DISKIMAGE_MACHINES_PARTS_H_
