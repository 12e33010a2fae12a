// DOSBox-X's configuration (win95.conf), read as DOSBox-X reads it, its
// [autoexec] run as its shell runs it:
//
//   rule                                            DOSBox-X's source
//   lines trimmed; '#' begins a comment, but a      src/misc/setup.cpp
//     "#DOSBOX-X:" prefix is dropped; "[name]"      Config::ParseConfigFile,
//     (names regardless of case) starts a           Config::GetSection
//     section, a section given twice goes on
//   "key=value", trimmed, quotes around the value   setup.cpp Section_prop::
//     dropped, keys regardless of case, the last    HandleInputline
//     given counts
//   [autoexec] lines run in order, a '@' first      src/shell/shell.cpp
//     dropped, redirections taken off; a command    DOS_Shell::ParseLine,
//     ends at a blank, '/' or '='; `boot` ends the  DoCommand
//     run
//   words split at spaces, a word in double         setup.cpp CommandLine::
//     quotes kept whole; options (-t hdd) may come  CommandLine, FindString,
//     anywhere, any case, - or --; every -o VALUE   FindEntry; IMGMOUNT::Run
//     pair taken off, from the first                (-o)
//   IMGMOUNT: the drive first (c, c:, or a number   src/dos/dos_programs.cpp
//     2 to 5 for a BIOS disk, whose file system is  IMGMOUNT::Run
//     then none); -t hdd unless the drive is A or
//     B, an .iso (CD-ROM) or .ima (floppy) name
//     deciding where neither -t nor -fs is given
//   its files are the words left up to an option;   IMGMOUNT::ParseFiles
//     a file that is not there is tried with ~ as
//     the home folder, then as a DOS path through   src/dos/dos_files.cpp
//     a drive MOUNT gave a folder then, its ..      DOS_MakeName
//     never above the drive's root; '\' is '/'
//     (looked for once, for drive C alone)
//   a hard disk mounted at a letter takes the       dos_programs.cpp
//     first free BIOS disk from 2 (0x80), one       AttachToBiosAndIde-
//     mounted at a number that number; several      ByLetter, MountFat
//     files at a letter attach none
//   drive C is BIOS disk 2, which `boot c:` boots   BOOT::Run
//   relative paths are taken from DOSBox-X's        src/gui/sdlmain.cpp
//     working folder: the configuration's (or       (working directory
//     "working directory default" where the         option)
//     option is custom or force)
//   [sblaster] sbtype (sb16 unless a listed value,   src/dosbox.cpp DOSBOX_
//     lower case), sbbase (220), irq (7), dma (1):   SetupConfigSections;
//     a value not listed is the default; none       setup.cpp Prop_int::
//     digits read as 0, numbers as istream reads    SetVal, Value::set_int
//     them (sbbase in hex, D2 to DE as 220 to 2E0)  sblaster.cpp SBLASTER::
//   sbtype none or gb: no Sound Blaster; irq=0 is   SBLASTER, Find_Type_
//     5 for a Pro 2 or 16 (ESS, Reveal: Pro 2),     And_Opl
//     else 7; -1 no IRQ or DMA (hdma is a 16's
//     own DMA, which the BLASTER line does not
//     name)
//   a second card in [sblaster2], alike but none,   sblaster.cpp sb_section_
//     260, IRQ 3, DMA 0 by default, its irq=0 by    names, GetSBtype
//     the first card's type
#include <ctype.h>
#include <dirent.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <initializer_list>
#include <iterator>
#include <map>

#include "ascii.h"
#include "diskimage/machines/reader.h"

namespace {

const size_t kMostCommands = 4096;    // more than any [autoexec] runs
const size_t kLongestCommand = 4094;  // CMD_MAXLINE, its end and NUL off

std::string_view Trimmed(std::string_view text) {
  size_t start = text.find_first_not_of(" \t\r\n\v\f");
  if (start == std::string_view::npos) return {};
  return text.substr(start, text.find_last_not_of(" \t\r\n\v\f") - start + 1);
}

// The command a line runs ("imgmount"), where it is one read here, and
// its arguments.
std::string Command(std::string_view line, std::string_view* arguments) {
  if (!line.empty() && line[0] == '@') line.remove_prefix(1);
  line = Trimmed(line);
  size_t end = std::min(line.find_first_of(" /\t="), line.size());
  std::string command = Lower(line.substr(0, end));
  *arguments = line.substr(end);
  size_t name = command.find_last_of("\\:");
  if (name != std::string::npos) command.erase(0, name + 1);
  if (command.size() > 4 &&
      command.compare(command.size() - 4, 4, ".com") == 0) {
    command.resize(command.size() - 4);
  }
  return command == "imgmount" || command == "mount" || command == "boot"
             ? command
             : "";
}

bool Claims(const std::string& head) {
  bool autoexec = false, dosbox = false, sdl = false;
  ForEachLine(head, [&](std::string_view line, size_t) {
    std::string name = Lower(Trimmed(line));
    autoexec = autoexec || name == "[autoexec]";
    dosbox = dosbox || name == "[dosbox]";
    sdl = sdl || name == "[sdl]";
  });
  return autoexec || (dosbox && sdl);
}

bool Parse(const std::string& text, Machine* machine, std::string* why) {
  std::string section;
  bool booted = false;
  ForEachLine(text, [&](std::string_view raw, size_t number) {
    if (!why->empty()) return;
    if (raw.compare(0, 14, "#DOSBOX-X-ADV:") == 0) raw.remove_prefix(14);
    if (raw.compare(0, 10, "#DOSBOX-X:") == 0) raw.remove_prefix(10);
    std::string_view line = Trimmed(raw);
    if (line.empty() || line[0] == '#') return;
    if (line[0] == '[') {
      size_t close = line.find(']');
      if (close != std::string_view::npos) {
        section = Lower(line.substr(1, close - 1));
      }
      return;
    }
    if (section == "autoexec") {
      // BatchFile::ReadLine keeps what fits of a line.
      line = line.substr(0, kLongestCommand);
      std::string_view arguments;
      if (booted || Command(line, &arguments).empty()) return;
      booted = Command(line, &arguments) == "boot";
      if (machine->commands.size() >= kMostCommands) {
        *why = "whose [autoexec] mounts more than any DOSBox-X configuration";
        return;
      }
      machine->commands.push_back(Setting{std::string(line), number});
      return;
    }
    size_t equals = line.find('=');
    bool sound = section == "sblaster" || section == "sblaster2";
    if ((section != "dosbox" && !sound) || line[0] == '%' ||
        equals == std::string::npos) {
      return;
    }
    std::string key = Lower(Trimmed(line.substr(0, equals)));
    std::string_view value = Trimmed(line.substr(equals + 1));
    if (value.size() > 1 && (value[0] == '"' || value[0] == '\'') &&
        value.back() == value[0]) {
      value = Trimmed(value.substr(1, value.size() - 2));
    }
    if (key == "working directory option" ||
        key == "working directory default" || sound) {
      machine->settings[section][key] = Setting{std::string(value), number};
    }
  });
  return why->empty();
}

std::string Saved(const Machine&) {
  return "";
}

// The words of a command line (CommandLine::CommandLine), redirections
// taken off first (DOS_Shell::GetRedirection).
std::vector<std::string> Words(std::string_view arguments) {
  std::string line;
  bool quoted = false;
  for (size_t i = 0; i < arguments.size(); ++i) {
    char c = arguments[i];
    if (c == '"') quoted = !quoted;
    if (!quoted && c == '|') break;
    if (!quoted && (c == '<' || c == '>')) {
      while (i + 1 < arguments.size() && arguments[i + 1] == '>') ++i;
      while (i + 1 < arguments.size() && arguments[i + 1] == ' ') ++i;
      while (i + 1 < arguments.size() && !strchr(" <>|", arguments[i + 1])) {
        ++i;
      }
      continue;
    }
    line += c;
  }
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  quoted = false;
  for (char c : line) {
    if (quoted) {
      if (c != '"') {
        word += c;
      } else {
        quoted = false;
        words.push_back(word);
        word.clear();
      }
    } else if (in_word) {
      if (c != ' ') {
        word += c;
      } else {
        in_word = false;
        words.push_back(word);
        word.clear();
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c != ' ') {
      word += c;
      in_word = true;
    }
  }
  if (in_word || quoted) words.push_back(word);
  return words;
}

// CommandLine::FindEntry: whether `word` is the option `name`, in any
// case, with - or --.
bool IsOption(std::string word, const char* name) {
  if (word.compare(0, 2, "--") == 0) word.erase(0, 1);
  return SameIgnoringAsciiCase(word, std::string(name));
}

// CommandLine::FindExist and FindString: takes the first `name` off
// `words`, and the word after it into `*value`.
bool Option(std::vector<std::string>* words, const char* name,
            std::string* value = nullptr) {
  for (size_t i = 0; i < words->size(); ++i) {
    if (!IsOption((*words)[i], name)) continue;
    if (value && i + 1 >= words->size()) return false;
    if (value) *value = (*words)[i + 1];
    words->erase(words->begin() + i, words->begin() + i + (value ? 2 : 1));
    return true;
  }
  return false;
}

// Takes every `name VALUE` pair off `words` in one pass, as FindString
// called until it fails does (the pairs from the first; a last `name`
// with no value stays).
void EveryOption(std::vector<std::string>* words, const char* name) {
  size_t kept = 0;
  for (size_t i = 0; i < words->size(); ++i) {
    if (i + 1 < words->size() && IsOption((*words)[i], name)) {
      ++i;
      continue;
    }
    if (kept != i) (*words)[kept] = std::move((*words)[i]);
    ++kept;
  }
  words->resize(kept);
}

bool Exists(const std::string& path) {
  struct stat st;
  return !path.empty() && stat(path.c_str(), &st) == 0;
}

// `rest` below `folder`, the drive's root: its names as DOS_MakeName
// leaves them (".", "..", "..." and the like taken in the name, never
// above the root), each then matched regardless of case where it is not
// there as written, as DOSBox-X's local drives match DOS names.
std::string Below(std::string folder, const std::string& rest) {
  std::vector<std::string> names;
  for (size_t at = 0; at < rest.size();) {
    size_t slash = std::min(rest.find('/', at), rest.size());
    std::string name = rest.substr(at, slash - at);
    at = slash + 1;
    if (name.empty() || name == ".") continue;
    if (name.find_first_not_of('.') != std::string::npos) {
      names.push_back(name);
      continue;
    }
    for (size_t up = 1; up < name.size() && !names.empty(); ++up) {
      names.pop_back();
    }
  }
  for (const std::string& name : names) {
    std::string path = folder;
    path.append("/").append(name);
    if (!Exists(path)) {
      if (DIR* listing = opendir(folder.c_str())) {
        while (struct dirent* entry = readdir(listing)) {
          if (SameIgnoringAsciiCase(std::string(entry->d_name), name)) {
            path = folder + "/" + entry->d_name;
            break;
          }
        }
        closedir(listing);
      }
    }
    folder = path;
  }
  return folder;
}

// The machine as its [autoexec] leaves it.
struct Run {
  explicit Run(const Machine& parsed)
      : machine(parsed), folder(parsed.folder) {}
  const Machine& machine;
  std::string folder;                   // where relative paths start
  std::map<char, std::string> folders;  // by drive letter, from MOUNT
  // A BIOS disk's line, its file as the line gives it, and the folder
  // MOUNT had given that file's drive letter then (a DOS path's).
  struct Image {
    const Setting* line;
    std::string word, mounted;
  };
  std::map<int, Image> bios;    // BIOS disks, by number
  std::map<char, int> letters;  // a letter's BIOS disk
  std::string why;

  // ParseFiles: the file `image` names, tried as DOSBox-X tries it; read
  // once, for drive C alone, as the files are not opened here.
  std::string File(const Image& image) const {
    std::string word = image.word;
    std::replace(word.begin(), word.end(), '\\', '/');
    std::string path = Absolute(word, folder);
    if (Exists(path)) return path;
    const char* home = getenv("HOME");
    if (word[0] == '~' && home) {
      std::string at_home = std::string(home) + word.substr(1);
      if (Exists(at_home)) return at_home;
    }
    if (word.size() > 2 && word[1] == ':' && !image.mounted.empty()) {
      return Below(image.mounted, word.substr(2));
    }
    return path;
  }
  void Mount(std::vector<std::string> words);
  void Imgmount(std::vector<std::string> words, const Setting& line);
};

void Run::Mount(std::vector<std::string> words) {
  std::string value;
  for (const char* flag : {"-q", "-pr", "-nocachedir", "-nl", "-ro", "-rw"}) {
    Option(&words, flag);
  }
  EveryOption(&words, "-o");
  for (const char* option : {"-t", "-freesize", "-size", "-label", "-z"}) {
    Option(&words, option, &value);
  }
  if (words.size() < 2 || words[0].size() > 2 ||
      (words[0].size() == 2 && words[0][1] != ':')) {
    return;
  }
  std::string path = words[1];
  const char* home = getenv("HOME");
  if (path[0] == '~' && home) path = home + path.substr(1);
  std::replace(path.begin(), path.end(), '\\', '/');
  folders[static_cast<char>(FoldAscii(words[0][0]))] = Absolute(path, folder);
}

void Run::Imgmount(std::vector<std::string> words, const Setting& line) {
  std::string value, type = "hdd", fstype = "fat";
  if (words.empty() || Option(&words, "/?") || Option(&words, "-?") ||
      Option(&words, "?") || Option(&words, "-help")) {
    return;
  }
  Option(&words, "-ro");
  bool unmount = Option(&words, "-u");
  std::string drive = words.empty() ? "" : words[0];
  if (!words.empty()) words.erase(words.begin());
  char letter = drive.size() == 1 || (drive.size() == 2 && drive[1] == ':')
                    ? static_cast<char>(FoldAscii(drive[0]))
                    : '\0';
  if (!letter) return;  // a device spec (":ide:1m") or nothing DOSBox-X takes
  if (strchr("ab01", letter)) type = "floppy";
  if (unmount) {
    int number = letter >= '0' && letter <= '9' ? letter - '0' : -1;
    auto at = letters.find(letter);
    if (at != letters.end()) number = at->second;
    bios.erase(number);
    letters.erase(letter);
    if (words.empty()) return;
  }
  bool typed = Option(&words, "-t", &type);
  type = Lower(type);
  if (type == "cdrom") type = "iso";
  EveryOption(&words, "-o");
  Option(&words, "-replace");
  if (Option(&words, "-el-torito", &value) ||
      Option(&words, "-bootcd", &value) || Option(&words, "-bd", &value) ||
      type == "ram") {
    return;  // no file of its own
  }
  bool filesystem = Option(&words, "-fs", &fstype);
  fstype = Lower(fstype);
  for (const char* option : {"-reservecyl", "-ide", "-size", "-chs"}) {
    Option(&words, option, &value);
  }
  if (type == "iso") fstype = "iso";
  bool number = letter >= '0' && letter <= '9';
  if (!filesystem && number) fstype = "none";
  std::vector<std::string> paths;
  for (const std::string& word : words) {
    if (!word.empty() && word[0] == '-') break;
    if (!word.empty()) paths.push_back(word);
  }
  if (paths.empty() || type != "hdd") return;
  if (!typed && !filesystem && fstype != "none" && paths[0].size() > 4) {
    std::string name = Lower(paths[0]);
    for (const char* cdrom : {".iso", ".cue", ".bin", ".chd", ".mdf", ".gog",
                              ".ins", ".ccd", ".inst", ".ima"}) {
      if (name.size() > strlen(cdrom) &&
          name.compare(name.size() - strlen(cdrom), strlen(cdrom), cdrom) ==
              0) {
        return;  // a CD-ROM or a floppy
      }
    }
  }
  int at = -1;
  bool free = !letters.count(letter) && !folders.count(letter);
  if (fstype == "fat" && (isalpha(letter) || letter == '*') &&
      paths.size() == 1 && free) {
    for (at = 2; at < 6 && bios.count(at); ++at) {
    }
    if (letter != '*') letters[letter] = at;
  } else if (fstype == "none" && number && letter >= '2' && letter <= '5' &&
             paths.size() == 1 && !bios.count(letter - '0')) {
    at = letter - '0';
  }
  if (at < 2 || at > 5) return;
  if (paths[0].find('%') != std::string::npos) {
    why = std::string(machine.reader->kind) + " whose line " +
          std::to_string(line.line) + " mounts a file named by a variable (" +
          paths[0] + ")";
  }
  std::string mounted;
  if (paths[0].size() > 2 && paths[0][1] == ':') {
    auto folder = folders.find(static_cast<char>(FoldAscii(paths[0][0])));
    if (folder != folders.end()) mounted = folder->second;
  }
  bios[at] = Image{&line, paths[0], mounted};
}

MachineVerdict DriveC(const Machine& machine, MachineDisk* found) {
  Run run(machine);
  std::string option =
      Lower(Value(machine, "dosbox", "working directory option"));
  std::string folder = Value(machine, "dosbox", "working directory default");
  if ((option == "custom" || option == "force") && !folder.empty()) {
    run.folder = Absolute(folder, machine.folder);
  }
  for (const Setting& line : machine.commands) {
    std::string_view arguments;
    std::string command = Command(line.value, &arguments);
    if (command == "boot") break;
    if (command == "mount") run.Mount(Words(arguments));
    if (command == "imgmount") run.Imgmount(Words(arguments), line);
    if (!run.why.empty()) return Refused(machine, run.why, found);
  }
  auto c = run.bios.find(2);
  if (c == run.bios.end()) {
    return NoDisk(machine, "no image mounted as drive C (BIOS disk 2)", found);
  }
  return Found(machine, run.File(c->second),
               "line " + std::to_string(c->second.line->line), found);
}

// `key` of `section` as Prop_int::SetVal takes it: `fallback` where it
// is not given, not a number or not one of `listed`.
long Listed(const Machine& machine, const std::string& section, const char* key,
            int base, std::initializer_list<long> listed, long fallback) {
  std::string value = Value(machine, section, key);
  long number = 0;
  LeadingNumber(value, base, &number);
  if (value.empty() ||
      std::find(listed.begin(), listed.end(), number) == listed.end()) {
    return fallback;
  }
  return number;
}

// The card of [sblaster] (`second` false) or [sblaster2]; `first_type`
// the T of the first, which the second's irq=0 goes by.
SoundCard Card(const Machine& machine, bool second, long first_type) {
  static const struct {
    const char* sbtype;
    const char* name;
    long type;
  } kTypes[] = {
      {"sb1", "Sound Blaster 1.5", 1},
      {"sb1.0", "Sound Blaster 1.0", 1},
      {"sb1.5", "Sound Blaster 1.5", 1},
      {"sb2", "Sound Blaster 2.01", 3},
      {"sb2.0", "Sound Blaster 2.0", 3},
      {"sb2.01", "Sound Blaster 2.01", 3},
      {"sbpro1", "Sound Blaster Pro", 2},
      {"sbpro2", "Sound Blaster Pro 2", 4},
      {"sb16", "Sound Blaster 16", 6},
      {"sb16vibra", "Sound Blaster 16 ViBRA", 6},
      {"ess688", "ESS 688", 4},
      {"ess1688", "ESS ES1688", 4},
      {"reveal_sc400", "Reveal SC400", 4},
      {"gb", nullptr, 0},
      {"none", nullptr, 0},
  };
  const Blaster& line = BlasterLine();
  std::string section = second ? "sblaster2" : "sblaster";
  std::string in = "[" + section + "]";
  SoundCard card;
  card.emulator = "DOSBox-X";
  card.set_card = {"sbtype=sb16", in};
  card.set_port = {"sbbase=" + Hex(line.port), in};
  card.set_irq = {"irq=" + std::to_string(line.irq), in};
  card.set_dma = {"dma=" + std::to_string(line.dma), in};
  std::string sbtype = Lower(Value(machine, section, "sbtype"));
  auto named = [&](const std::string& name) {
    return std::find_if(std::begin(kTypes), std::end(kTypes),
                        [&](const auto& type) { return name == type.sbtype; });
  };
  auto type = named(sbtype);
  if (type == std::end(kTypes)) type = named(second ? "none" : "sb16");
  if (!type->name) {
    card.kind = kSoundNone;
    card.name = "sbtype=" + std::string(type->sbtype);
    return card;
  }
  card.kind = kSoundCard;
  card.name = type->name;
  card.type = type->type;
  card.port = Listed(machine, section, "sbbase", 16,
                     {0x220, 0x240, 0x260, 0x280, 0x2A0, 0x2C0, 0x2E0, 0xD2,
                      0xD4, 0xD6, 0xD8, 0xDA, 0xDC, 0xDE},
                     second ? 0x260 : 0x220);
  if (card.port < 0x100) card.port = 0x200 + ((card.port & 0xF) << 4);
  card.irq = Listed(machine, section, "irq", 10,
                    {7, 5, 3, 9, 10, 11, 12, 0, -1}, second ? 3 : 7);
  long by = second ? first_type : type->type;
  if (card.irq == 0) card.irq = by == 4 || by == 6 ? 5 : 7;
  card.dma = Listed(machine, section, "dma", 10, {1, 5, 0, 3, 6, 7, -1},
                    second ? 0 : 1);
  return card;
}

// Of the two cards, the one where the BLASTER line says (ChosenCard); with
// neither, what the first is.
void Sound(const Machine& machine, SoundCard* card) {
  SoundCard first = Card(machine, false, 0);
  std::vector<SoundCard> cards;
  for (const SoundCard& found : {first, Card(machine, true, first.type)}) {
    if (found.kind == kSoundCard) cards.push_back(found);
  }
  const SoundCard* chosen = ChosenCard(cards);
  *card = chosen ? *chosen : first;
}

}  // namespace

const MachineReader kDosboxXReader = {
    "a DOSBox-X machine", Claims, Parse, Saved, DriveC, Sound,
};
