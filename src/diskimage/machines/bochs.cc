// Bochs' machine file (bochsrc), read as Bochs 2.7 and later read it:
//
//   rule                                             Bochs' source
//   lines read 510 bytes at a time (a longer one     config.cc parse_bochsrc
//     goes on as the next), each losing its last
//     byte where that is below ' '
//   "directive: a, b": blanks outside quotes are     config.cc parse_line_
//     dropped, quotes too (a quoted part is kept      unformatted
//     whole, commas and all), a '#' outside quotes
//     ends the line, $NAME is the environment's
//     NAME, an empty parameter ends the line
//   "#include FILE" reads FILE, 2 levels deep at      config.cc parse_line_
//     most; a directive without parameters, an        formatted, bx_parse_
//     ataN-master/slave option or value it does      param_from_list
//     not know: Bochs refuses the file
//   ataN-master/slave options build up line by       config.cc parse_line_
//     line; the type is none unless type= says,       formatted, bx_init_
//     and type=disk without a path is none            options
//   channels ata0 and ata1 are enabled, ata2 and     config.cc bx_init_options
//     ata3 only where ataN: enabled=1 says
//   drive C: the first disk of ata0-master, ata0-    bios/rombios.c ata_detect
//     slave, ata1-master... on enabled channels
//   undoable: its redolog is journal= (none or       iodev/hdimage/hdimage.cc
//     empty: PATH.redolog), over PATH; a file         undoable_image_t,
//     there that is no undoable redolog (magic,      redolog_t::open and
//     type and subtype, version 2 or 1) stops Bochs  check_format
//   volatile: Bochs deletes its changes itself;      hdimage.cc volatile_
//     vvfat: a folder                                image_t, vvfat.cc
//   the Sound Blaster 16: its plugin loaded by an   config.cc parse_line_
//     sb16: line or plugin_ctrl: sb16=1 (0 or       formatted, bx_init_
//     false unloads it; none loaded by default),    options; iodev/sound/
//     enabled unless its line's enabled= is 0 or    sb16.cc sb16_options_
//     false; on port 220 (BX_SB16_IO), IRQ 5 and    parser, bx_sb16_c::init,
//     DMA 1 (its mixer at reset), which the file    sb16.h
//     does not move
#include <ctype.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <iterator>

#include "diskimage/formats/bytes.h"
#include "diskimage/machines/reader.h"

namespace {

const size_t kChunk = 510;  // the most fgets reads of a line at once
const size_t kParameters = 40, kParameterSize = 511;
const int kMostIncluded = 2;  // levels below the bochsrc

const char* const kOptions[] = {
    "type",  "path", "mode",      "status", "journal",    "cylinders",
    "heads", "spt",  "sect_size", "model",  "biosdetect", "translation"};
const char* const kResources[] = {"enabled", "ioaddr1", "ioaddr2", "irq"};
const char* const kModes[] = {"flat",    "concat",   "sparse",   "dll",
                              "growing", "undoable", "volatile", "vmware3",
                              "vmware4", "vbox",     "vpc",      "vvfat"};

template <typename List>
bool In(const List& list, const std::string& name) {
  return std::find(std::begin(list), std::end(list), name) != std::end(list);
}

// One bochsrc (or one it includes) read into `machine`.
struct Reader {
  explicit Reader(Machine* parsed) : machine(parsed) {}
  Machine* machine;
  size_t bytes = 0;  // read in all, includes and all
  std::string why;

  bool Fail(size_t line, const std::string& reason) {
    if (why.empty()) why = "whose line " + std::to_string(line) + " " + reason;
    return false;
  }
  bool Parameters(std::string line, size_t number,
                  std::vector<std::string>* params);
  bool Directive(const std::vector<std::string>& params, size_t number,
                 int level);
  void Sb16(const std::vector<std::string>& params, size_t number);
  bool File(const std::string& text, int level);
};

// parse_line_unformatted: the parameters of `line`.
bool Reader::Parameters(std::string line, size_t number,
                        std::vector<std::string>* params) {
  size_t at = 0;  // where strtok goes on
  auto token = [&](const char* delimiters, size_t* start) {
    while (at < line.size() && line[at] && strchr(delimiters, line[at])) ++at;
    if (at >= line.size() || !line[at]) return false;
    *start = at;
    while (at < line.size() && line[at] && !strchr(delimiters, line[at])) ++at;
    if (at < line.size()) line[at++] = '\0';
    return true;
  };
  bool quoted = false, comment = false;
  std::string value;
  size_t start = 0;
  bool more = token(line.compare(0, 8, "#include") == 0 ? " " : ":", &start);
  while (more && !comment) {
    if (quoted) {
      value += ',';
    } else {
      value.clear();
    }
    for (size_t i = start; i < line.size() && line[i]; ++i) {
      char c = line[i];
      if (c == '"') {
        quoted = !quoted;
        continue;
      }
      if (c == '#' && !quoted && line.compare(i - start, 8, "#include") != 0) {
        comment = true;
        break;
      }
      if (c == '$') {
        std::string name;
        for (++i; i < line.size() && (isalpha(line[i]) || line[i] == '_');
             ++i) {
          name += line[i];
        }
        const char* found = name.empty() ? nullptr : getenv(name.c_str());
        if (!found && name == "BXSHARE") found = "/usr/share/bochs";
        if (!found) return Fail(number, "uses $" + name + ", which is not set");
        value += found;
        c = i < line.size() ? line[i] : '\0';
        if (!c) break;
      }
      if (!isspace(static_cast<unsigned char>(c)) || quoted) value += c;
      if (value.size() >= kParameterSize) {
        return Fail(number, "is longer than Bochs reads");
      }
    }
    if (value.empty()) break;
    if (!quoted) {
      if (params->size() >= kParameters) {
        return Fail(number, "has more parameters than Bochs reads");
      }
      params->push_back(value.substr(0, value.find('\0')));
    }
    more = token(",", &start);
  }
  return true;
}

// parse_line_formatted, for the directives this reader reads.
bool Reader::Directive(const std::vector<std::string>& params, size_t number,
                       int level) {
  if (params.empty()) return true;
  const std::string& directive = params[0];
  if (params.size() < 2) {
    return Fail(number, "gives " + directive + " no parameter");
  }
  if (directive == "#include") {
    if (params.size() != 2 || level >= kMostIncluded) {
      return Fail(number, "includes a file Bochs does not read");
    }
    std::string path = Absolute(params[1], machine->folder);
    std::string text;
    bool read = !path.empty() &&
                ReadRegular(path, kLargestMachineFile - bytes + 1, &text) &&
                bytes + text.size() <= kLargestMachineFile &&
                text.find('\0') == std::string::npos;
    bytes += text.size();
    if (!read) {
      return Fail(number, "includes " + params[1] +
                              ", which is no bochsrc this program can read");
    }
    return File(text, level + 1);
  }
  if (directive == "sb16" || directive == "plugin_ctrl") {
    Sb16(params, number);
    return true;
  }
  if (directive.compare(0, 3, "ata") != 0 || directive.size() < 4) return true;
  std::string malformed = "gives " + directive + " as Bochs does not read it";
  char channel = directive[3];
  if (channel < '0' || channel > '3') return Fail(number, malformed);
  auto& settings = machine->settings[directive];
  if (directive.size() == 4) {
    if (params.size() > 5) return Fail(number, malformed);
    for (size_t i = 1; i < params.size(); ++i) {
      size_t equals = params[i].find('=');
      std::string name = params[i].substr(0, equals);
      if (equals == std::string::npos || !In(kResources, name)) {
        return Fail(number, malformed);
      }
      settings[name] = Setting{params[i].substr(equals + 1), number};
    }
    return true;
  }
  if (directive.compare(4, std::string::npos, "-master") != 0 &&
      directive.compare(4, std::string::npos, "-slave") != 0) {
    return Fail(number, malformed);
  }
  bool disk = false;
  for (size_t i = 1; i < params.size(); ++i) {
    size_t equals = params[i].find('=');
    std::string name = params[i].substr(0, equals);
    std::string value =
        equals == std::string::npos ? "" : params[i].substr(equals + 1);
    if (equals == std::string::npos || !In(kOptions, name) ||
        (name == "type" && value != "none" && value != "disk" &&
         value != "cdrom") ||
        (name == "mode" && !In(kModes, value))) {
      return Fail(number, "gives " + directive + " " + params[i] +
                              ", which Bochs does not read");
    }
    settings[name] = Setting{value, number};
    if (name == "type") disk = value == "disk";
  }
  // A disk without a path is none (parse_line_formatted).
  if (disk && settings["path"].value.empty()) settings["type"].value = "none";
  return true;
}

// Whether the SB16 plugin is loaded, and enabled, as its lines leave it;
// unloading it drops its options.
void Reader::Sb16(const std::vector<std::string>& params, size_t number) {
  std::map<std::string, Setting>& sb16 = machine->settings["sb16"];
  auto is = [](const std::string& value, const char* digit, const char* word) {
    return value == digit || strcasecmp(value.c_str(), word) == 0;
  };
  if (params[0] == "sb16") sb16.erase("enabled");  // set again first
  for (size_t i = 1; i < params.size(); ++i) {
    std::string value = params[i].substr(params[i].find('=') + 1);
    if (params[0] == "sb16" && params[i].compare(0, 8, "enabled=") == 0) {
      if (is(value, "0", "false")) sb16["enabled"] = Setting{"0", number};
      if (is(value, "1", "true")) sb16["enabled"] = Setting{"1", number};
    }
    if (params[0] == "plugin_ctrl" && params[i].compare(0, 5, "sb16=") == 0) {
      if (is(value, "0", "false")) sb16 = {{"loaded", Setting{"0", number}}};
      if (is(value, "1", "true")) sb16["loaded"] = Setting{"1", number};
    }
  }
  if (params[0] == "sb16") sb16["loaded"] = Setting{"1", number};
}

bool Reader::File(const std::string& text, int level) {
  size_t number = 0;
  std::vector<std::string> params;
  for (size_t at = 0; at < text.size();) {
    ++number;
    size_t end = text.find('\n', at);
    end = end == std::string::npos ? text.size() : end + 1;
    for (size_t chunk = at; chunk < end; chunk += kChunk) {
      std::string line = text.substr(chunk, std::min(kChunk, end - chunk));
      if (!line.empty() && static_cast<signed char>(line.back()) < ' ') {
        line.pop_back();
      }
      params.clear();  // kept, with its room, from line to line
      if (line.find_first_not_of(" \t\r\n\v\f") == std::string::npos) continue;
      if (!Parameters(line, number, &params) ||
          !Directive(params, number, level)) {
        return false;
      }
    }
    at = end;
  }
  return true;
}

bool Claims(const std::string& head) {
  static const char* const kKnown[] = {"megs",
                                       "memory",
                                       "romimage",
                                       "vgaromimage",
                                       "boot",
                                       "cpu",
                                       "floppya",
                                       "ata0",
                                       "ata0-master",
                                       "ata0-slave",
                                       "log",
                                       "mouse",
                                       "display_library",
                                       "clock",
                                       "keyboard"};
  int known = 0;
  bool master = false;
  ForEachLine(head, [&](std::string_view line, size_t) {
    known += line.compare(0, 9, "#include ") == 0 ? 1 : 0;
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) return;
    std::string directive(TrimBlanks(line.substr(0, colon)));
    known += In(kKnown, directive) ? 1 : 0;
    master = master || directive.compare(0, 3, "ata") == 0;
  });
  return known >= 2 || master;
}

bool Parse(const std::string& text, Machine* machine, std::string* why) {
  Reader reader(machine);
  reader.bytes = text.size();
  if (reader.File(text, 0)) return true;
  *why = reader.why;
  return false;
}

std::string Saved(const Machine&) {
  return "";
}

// Whether `path` holds what Bochs opens as an undoable redolog.
bool IsUndoableRedolog(const std::string& path) {
  std::string head;
  ReadRegular(path, 512, &head);
  uint64_t version = head.size() == 512 ? LittleEndian(head, 64, 4) : 0;
  return (version == 0x00020000 || version == 0x00010000) &&
         // Each name with its NUL, as Bochs compares them.
         head.compare(0, 23, "Bochs Virtual HD Image", 23) == 0 &&
         head.compare(32, 8, "Redolog", 8) == 0 &&
         head.compare(48, 9, "Undoable", 9) == 0;
}

MachineVerdict DriveC(const Machine& machine, MachineDisk* found) {
  for (int channel = 0; channel < 4; ++channel) {
    std::string ata = "ata" + std::to_string(channel);
    std::string enabled = Lower(Value(machine, ata, "enabled"));
    if (enabled.empty() ? channel >= 2 : enabled != "1" && enabled != "true") {
      continue;
    }
    for (const char* device : {"-master", "-slave"}) {
      std::string name = ata + device;
      if (Value(machine, name, "type") != "disk") continue;
      const Setting* path = Find(machine, name, "path");
      std::string mode = Value(machine, name, "mode");
      std::string what =
          name + "'s path (line " + std::to_string(path->line) + ")";
      if (path->value.empty()) {
        return NoDisk(machine, name + " as a disk without a path", found);
      }
      if (mode == "volatile") {
        Refused(machine,
                std::string(machine.reader->kind) + " whose drive C (" + name +
                    ") is volatile: Bochs deletes its changes itself",
                found);
        return kMachineNoDisk;
      }
      if (mode == "vvfat") {
        return NoDisk(
            machine,
            "the folder " + path->value + " as drive C; name the folder",
            found);
      }
      if (mode == "concat" || mode == "dll" || mode == "vmware3") {
        std::string why = machine.reader->kind;
        why.append(" whose drive C (").append(name).append(") is in mode ");
        why.append(mode).append(", which this program does not write");
        return Refused(machine, why, found);
      }
      MachineVerdict verdict = FoundPath(machine, path->value, what, found);
      if (verdict != kMachineDisk || mode != "undoable") return verdict;
      const Setting* journal = Find(machine, name, "journal");
      std::string redolog =
          journal && !journal->value.empty() && journal->value != "none"
              ? Absolute(journal->value, machine.folder)
              : found->disk + ".redolog";
      struct stat st;
      // Until Bochs first starts, it has made no redolog: the base is
      // drive C.
      if (!redolog.empty() && stat(redolog.c_str(), &st) == 0) {
        if (!IsUndoableRedolog(redolog)) {
          std::string why = machine.reader->kind;
          why += " whose drive C (" + name + ") has the redolog ";
          why += redolog;
          why += ", which is no Bochs undoable redolog: Bochs stops at it";
          return Refused(machine, why, found);
        }
        found->parents = {found->disk};
        found->disk = redolog;
      }
      return kMachineDisk;
    }
  }
  return NoDisk(machine, "no hard disk", found);
}

void Sound(const Machine& machine, SoundCard* card) {
  card->emulator = "Bochs";
  card->set_card = {"add a line sb16: enabled=1", ""};
  const Setting* enabled = Find(machine, "sb16", "enabled");
  if (Value(machine, "sb16", "loaded") != "1" ||
      (enabled && enabled->value == "0")) {
    card->kind = kSoundNone;
    if (enabled && enabled->value == "0") {
      card->name = "sb16: enabled=0";
      card->set_card = {"enabled=1", "its sb16: line (line " +
                                         std::to_string(enabled->line) + ")"};
    }
    return;
  }
  SetSoundBlaster16(card);
}

}  // namespace

const MachineReader kBochsReader = {
    "a Bochs machine", Claims, Parse, Saved, DriveC, Sound,
};
