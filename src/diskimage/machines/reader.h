// The readers of machine files (machine.h), one an emulator, each a small
// table of functions as the disk formats are (formats/layer.h): what
// claims a file, how the emulator parses it, and, from what was parsed,
// drive C (the disk the machine's BIOS numbers 0x80: the first hard disk
// it boots), the base of that disk's chain where the file names one, and
// whether the machine is kept saved; and its sound card (sound.h).
//
// Parsing is apart from choosing: a reader's parse keeps the settings it
// reads (by section and key, each with its line), as its emulator reads
// them, and nothing more, so that a file of any size costs a bounded
// amount; another question asked of a machine (its sound card) reads the
// same parse: a question added to the table as a function of the parsed
// Machine adds what it reads to each reader's kept settings (and XML
// paths). Each reader's file opens with the rules it follows, each naming
// the function of the emulator's source it comes from.
#ifndef DOSSETUP_DISKIMAGE_MACHINES_READER_H_
#define DOSSETUP_DISKIMAGE_MACHINES_READER_H_

#include <stddef.h>
#include <stdint.h>

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "diskimage/machines/machine.h"
#include "diskimage/machines/sound.h"
#include "diskimage/machines/xml.h"

// A setting as its emulator takes it, and the line that gives it.
struct Setting {
  std::string value;
  size_t line = 0;
};

struct MachineReader;

// A machine file as its emulator reads it.
struct Machine {
  const MachineReader* reader = nullptr;
  std::string path;    // absolute
  std::string folder;  // its folder, from which relative paths are taken
  std::string name;    // its name, as the lines give it
  // The settings the reader keeps, by section and key as the emulator
  // compares them (folded where it ignores case; "" for no section); of a
  // key given twice, the one the emulator takes.
  std::map<std::string, std::map<std::string, Setting>> settings;
  // Commands the file runs, in order (DOSBox-X's [autoexec]).
  std::vector<Setting> commands;
  XmlElement xml;  // the root and the elements kept, for the XML kinds
};

struct MachineReader {
  const char* kind;  // "a VirtualBox machine", for the lines
  // Whether `head`, a file's first bytes (no NUL among them), begins a
  // machine file of this emulator.
  bool (*claims)(const std::string& head);
  // Parses `text` into `machine` as the emulator does; false, with the
  // line at fault, for a file its emulator refuses or this program cannot
  // follow.
  bool (*parse)(const std::string& text, Machine* machine, std::string* why);
  // Why the machine's disks are to be left alone (a saved state holds
  // them), or "".
  std::string (*saved)(const Machine& machine);
  // Drive C of the machine, and the base of its chain where the file
  // names it.
  MachineVerdict (*drive_c)(const Machine& machine, MachineDisk* found);
  // The machine's Sound Blaster: where it is and how the file moves it,
  // that it has none, or that the file cannot say.
  void (*sound)(const Machine& machine, SoundCard* card);
};

// The readers, in the order they are tried.
extern const MachineReader kVirtualBoxReader;
extern const MachineReader kLibvirtReader;
extern const MachineReader kVmwareReader;
extern const MachineReader kDosboxXReader;
extern const MachineReader k86BoxReader;
extern const MachineReader kPcemReader;
extern const MachineReader kBochsReader;

// Reads the file at the absolute `path` as ReadMachineFile does, keeping
// its parse in `machine` (its reader null for a file of no emulator's).
MachineVerdict ReadMachine(const std::string& path, Machine* machine,
                           MachineDisk* found);

// The largest machine file read: more than any emulator writes.
const size_t kLargestMachineFile = 4 << 20;

// Reads into `text` the first `most` bytes of the file at `path`, where it
// is a regular file (nothing else is opened: a FIFO would wait, and some
// devices act when opened); false where it is none.
bool ReadRegular(const std::string& path, uint64_t most, std::string* text);

// The setting `key` of `section`, or null.
const Setting* Find(const Machine& machine, const std::string& section,
                    const std::string& key);
// Its value, or "".
std::string Value(const Machine& machine, const std::string& section,
                  const std::string& key);

// Calls `line(text, number)` for each line of `text` (numbered from 1),
// without its end: LF, or CR LF.
template <typename F>
void ForEachLine(std::string_view text, F line) {
  size_t number = 1;
  for (size_t at = 0; at < text.size(); ++number) {
    size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view whole = text.substr(at, end - at);
    if (!whole.empty() && whole.back() == '\r') whole.remove_suffix(1);
    line(whole, number);
    at = end + 1;
  }
}

// `text` without the spaces and tabs around it.
std::string_view TrimBlanks(std::string_view text);
// `text` in lower case (ASCII letters alone).
std::string Lower(std::string_view text);

// A path as the file gives it, made absolute from `folder`, with Windows
// separators turned to '/'; "" for one with a Windows drive letter, which
// names nothing here.
std::string Absolute(std::string path, const std::string& folder);

// `disk` (absolute) is the drive C of `machine`, given by `what` (the key
// or line, for the lines) where it exists.
MachineVerdict Found(const Machine& machine, const std::string& disk,
                     const std::string& what, MachineDisk* found);
// `machine` names no drive C: `what` says what it names instead.
MachineVerdict NoDisk(const Machine& machine, const std::string& what,
                      MachineDisk* found);
// `machine` is refused: `why` says which line or key is at fault.
MachineVerdict Refused(const Machine& machine, const std::string& why,
                       MachineDisk* found);
// Drive C is given as `path` by `what`: found where the path holds a file
// and is one this machine can name (Absolute).
MachineVerdict FoundPath(const Machine& machine, const std::string& path,
                         const std::string& what, MachineDisk* found);

#endif  // DOSSETUP_DISKIMAGE_MACHINES_READER_H_
