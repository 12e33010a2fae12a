#include "platform/host/image.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <vector>

#include "platform/host/faults.h"
#include "platform/host/ini.h"
#include "platform/host/interrupts.h"
#include "platform/host/inuse.h"
#include "platform/host/journal.h"
#include "platform/host/spawn.h"
#include "platform/host/view.h"

namespace {

const size_t kSector = 512;

std::string image_spec;  // mtools' -i argument: IMAGE or IMAGE@@OFFSET

uint32_t Little(const unsigned char* at, int bytes) {
  uint32_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = value << 8 | at[i];
  return value;
}

bool PowerOfTwo(uint32_t value) {
  return value != 0 && (value & (value - 1)) == 0;
}

// A FAT boot sector whose volume lies within `available` bytes.
bool IsFatBootSector(const unsigned char* sector, uint64_t available) {
  uint32_t bytes_per_sector = Little(sector + 11, 2);
  uint32_t total = Little(sector + 19, 2);
  if (total == 0) total = Little(sector + 32, 4);
  return (sector[0] == 0xEB || sector[0] == 0xE9) && bytes_per_sector >= 512 &&
         bytes_per_sector <= 4096 && PowerOfTwo(bytes_per_sector) &&
         PowerOfTwo(sector[13]) && Little(sector + 14, 2) >= 1 &&
         sector[16] >= 1 && (sector[21] == 0xF0 || sector[21] >= 0xF8) &&
         total > 0 && uint64_t{total} * bytes_per_sector <= available &&
         sector[510] == 0x55 && sector[511] == 0xAA;
}

bool ReadSector(int fd, uint64_t at, unsigned char (&sector)[kSector]) {
  return pread(fd, sector, kSector, static_cast<off_t>(at)) ==
         static_cast<ssize_t>(kSector);
}

bool IsFatPartitionType(unsigned char type) {
  static const unsigned char kTypes[] = {0x01, 0x04, 0x06, 0x0B, 0x0C, 0x0E};
  return std::find(std::begin(kTypes), std::end(kTypes), type) !=
         std::end(kTypes);
}

// The child's environment: the search path, a fixed locale so that names
// beyond ASCII come and go as UTF-8 (another could show them as '_'), and
// nothing that tells mtools what the user configured.
std::vector<std::string> MtoolsEnvironment() {
  std::vector<std::string> env = {"HOME=/nonexistent", "MTOOLSRC=/dev/null",
                                  "MTOOLS_SKIP_CHECK=1", "LC_ALL=C.UTF-8"};
  for (const char* name : {"PATH", "TZ"}) {
    if (const char* value = getenv(name)) {
      env.push_back(std::string(name) + "=" + value);
    }
  }
  return env;
}

// Runs an mtools command on the volume: `tool`, the drive option, then
// `args`. Its output goes to `out_fd`, or is collected into `out`, or is
// dropped; `extra_fd` is its descriptor 3. True when it ends with status 0.
bool Mtools(const char* tool, const std::vector<std::string>& args,
            std::string* out = nullptr, int out_fd = -1, int extra_fd = -1) {
  std::vector<std::string> words = {tool, "-i", image_spec};
  words.insert(words.end(), args.begin(), args.end());
  return RunProgram(words, MtoolsEnvironment(), out, out_fd, extra_fd) == 0;
}

// A private file outside the image for a file's content on its way in or
// out. It has no name, so it never outlives the program, whatever ends it.
int ScratchFile() {
  const char* folder = getenv("TMPDIR");
  std::string name = folder && *folder ? folder : "/tmp";
  int fd = open(name.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
  // A file system without unnamed files: the name goes at once.
  name += "/dossetup-XXXXXX";
  fd = mkostemp(name.data(), O_CLOEXEC);
  if (fd >= 0) unlink(name.c_str());
  return fd;
}

struct Entry {
  std::string name;   // the long name where there is one, else the short
  std::string alias;  // the short name, as the directory entry stores it
  bool folder;
};

// The image file, held open and locked for as long as drive C is
// attached; its journal, when the run works through one; and the view
// that shows the volume.
int image_fd = -1;
bool journaled = false;
bool volume_changed = false;
Journal journal;
RawView view;

// Folders' listings by path, each read once until the volume changes.
std::map<std::string, std::vector<Entry>> listings;

// The file written last and its bytes, still open: copying it over its
// target (the temporary file's one use) then need not read it back out of
// the volume, which through a view costs as much as the write.
std::string written_path;
int written_fd = -1;

void ForgetWritten() {
  if (written_fd >= 0) close(written_fd);
  written_fd = -1;
  written_path.clear();
}

// The start of each UTF-8 character of `line`, and its end last.
std::vector<size_t> CharacterStarts(const std::string& line) {
  std::vector<size_t> starts;
  for (size_t i = 0; i < line.size(); ++i) {
    if ((static_cast<unsigned char>(line[i]) & 0xC0) != 0x80) {
      starts.push_back(i);
    }
  }
  starts.push_back(line.size());
  return starts;
}

std::string Trimmed(const std::string& text) {
  size_t end = text.find_last_not_of(' ');
  return end == std::string::npos ? "" : text.substr(0, end + 1);
}

// One entry line of `mdir`: the short name's base in eight characters, a
// blank, its extension in three; then the size or <DIR>, the date, the
// time with a one-character suffix, and a blank and the long name if any.
bool ParseEntry(const std::string& line, Entry* entry) {
  std::vector<size_t> at = CharacterStarts(line);
  if (at.size() < 13 || line[at[8]] != ' ') return false;
  std::string base = Trimmed(line.substr(0, at[8]));
  std::string extension = Trimmed(line.substr(at[9], at[12] - at[9]));
  size_t p = at[12];
  std::string fields[3];
  for (std::string& field : fields) {
    while (p < line.size() && line[p] == ' ') ++p;
    size_t start = p;
    while (p < line.size() && line[p] != ' ') ++p;
    field = line.substr(start, p - start);
  }
  if (base.empty() || fields[2].find(':') == std::string::npos) return false;
  entry->alias = extension.empty() ? base : base + "." + extension;
  entry->folder = fields[0] == "<DIR>";
  entry->name = p + 2 <= line.size() ? line.substr(p + 2) : "";
  if (entry->name.empty()) entry->name = entry->alias;
  return true;
}

// mtools reads these in a path as a pattern.
bool HasPatternCharacter(const std::string& name) {
  return name.find_first_of("*?[]\\") != std::string::npos;
}

bool ShortPath(const std::string& relative, std::string* dos);
const Entry* Find(const std::string& relative);

// The entries of a folder as `mdir` lists them, "." and ".." left out.
const std::vector<Entry>* Listing(const std::string& folder) {
  auto cached = listings.find(folder);
  if (cached != listings.end()) return &cached->second;
  // mdir given a file lists that file: only folders have listings.
  const Entry* self = folder.empty() ? nullptr : Find(folder);
  if (!folder.empty() && (!self || !self->folder)) return nullptr;
  std::string dos;
  std::string text;
  if (!ShortPath(folder, &dos) || !Mtools("mdir", {"-a", dos}, &text)) {
    return nullptr;
  }
  // Entry lines follow the "Directory for" heading and its blank line, and
  // end at the first summary line, which starts with a blank.
  std::vector<Entry> entries;
  bool in_entries = false;
  for (const std::string& line : SplitLines(text)) {
    if (!in_entries) {
      in_entries = line.compare(0, 14, "Directory for ") == 0;
      continue;
    }
    if (line.empty()) continue;
    if (line[0] == ' ') break;
    Entry entry;
    if (!ParseEntry(line, &entry)) return nullptr;
    if (entry.alias != "." && entry.alias != "..") entries.push_back(entry);
  }
  if (!in_entries) return nullptr;
  return &(listings[folder] = entries);
}

// The entry `relative` names, or null.
const Entry* Find(const std::string& relative) {
  std::string parent, name;
  SplitRelative(relative, &parent, &name);
  const std::vector<Entry>* entries = Listing(parent);
  if (!entries) return nullptr;
  for (const Entry& entry : *entries) {
    if (entry.name == name) return &entry;
  }
  return nullptr;
}

// `relative` as mtools must be given it: every component by the short name
// the volume stores, which holds no pattern character, so that no long
// name is ever read as a pattern. False when a component is missing.
bool ShortPath(const std::string& relative, std::string* dos) {
  if (relative.empty()) {
    *dos = "::/";
    return true;
  }
  std::string parent, name;
  SplitRelative(relative, &parent, &name);
  const Entry* entry = Find(relative);
  if (!entry || HasPatternCharacter(entry->alias) || !ShortPath(parent, dos)) {
    return false;
  }
  if (dos->back() != '/') *dos += '/';
  *dos += entry->alias;
  return true;
}

// Where mtools must write file `relative`: its folder by short names, and
// its own name as stored (or given, if it is new), since mcopy names the
// entry it writes after it and so would drop a long name. mtools reads no
// pattern in the name of a file it writes.
bool TargetPath(const std::string& relative, std::string* dos) {
  std::string parent, name;
  SplitRelative(relative, &parent, &name);
  if (name.empty() || !ShortPath(parent, dos)) return false;
  if (dos->back() != '/') *dos += '/';
  *dos += name;
  return true;
}

// Passes on the result of an mtools command that may have changed the
// volume, forgetting every listing read before it.
bool Changed(bool result) {
  ForgetWritten();
  listings.clear();
  volume_changed = true;
  return result;
}

// Formats QEMU writes in place; a streamOptimized VMDK it cannot.
bool Writable(const ImageInfo& info) {
  static const char* const kFormats[] = {
      "raw", "qcow2", "qcow", "qed", "vpc", "vdi", "vmdk", "vhdx", "parallels"};
  for (const char* format : kFormats) {
    if (info.format == format) return !info.stream_optimized;
  }
  return false;
}

// Points mtools at the volume in `disk`; false when it holds none.
// `needed` receives the end of a FAT partition that lies past the disk.
bool UseVolume(const std::string& disk, uint64_t* needed = nullptr) {
  uint64_t offset = 0;
  // mtools reads "@@" in its -i argument as the start of an offset.
  if (disk.find("@@") != std::string::npos ||
      !FindImageVolume(disk, &offset, needed)) {
    return false;
  }
  image_spec = disk;
  if (offset > 0) image_spec += "@@" + std::to_string(offset);
  return true;
}

// Opens the journal over the image and the view through it.
bool OpenJournaled(const char* location, const ImageInfo& info,
                   const std::string& sizing) {
  JournalFor(location, image_fd, info.format, sizing, &journal);
  if (!BeginJournal(journal, info.virtual_size)) {
    ReportDrive(kDriveNoJournal);
    return false;
  }
  journaled = true;
  if (!OpenRawView(JournalBlockdevs(journal), &view)) {
    ReportDrive(kDriveNoHelper);
    return false;
  }
  return true;
}

void Detach() {
  ForgetWritten();
  image_spec.clear();
  listings.clear();
  bool clean = CloseRawView(&view);
  if (journaled) {
    // Nothing past an interrupt or a daemon that died is ever committed.
    if (!volume_changed || !clean || InterruptSignal()) {
      DiscardJournal(journal);
      if (volume_changed && !clean) ReportDrive(kDriveNotStored);
    } else if (!CommitJournal(journal)) {
      ReportDrive(kDriveNotStored);
    }
  }
  journaled = false;
  volume_changed = false;
  if (image_fd >= 0) close(image_fd);
  image_fd = -1;
}

// An image another process uses is left alone; else it is locked here for
// the whole run. Where QEMU's tools and FUSE are there, the run works
// through a journal; else a raw image is changed directly.
bool AttachImage(const char* location) {
  image_fd = open(location, O_RDWR | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  struct stat st;
  if (image_fd < 0 || fstat(image_fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ReportDrive(kDriveUnusable);
    return false;
  }
  if (ImageLockedElsewhere(image_fd) ||
      ImageOpenForWritingElsewhere(image_fd) || !HoldImage(image_fd)) {
    ReportDrive(kDriveInUse);
    return false;
  }
  if (FindProgram("mtype").empty()) {
    ReportDrive(kDriveNoHelper);
    return false;
  }
  ImageInfo info;
  InfoResult read = ReadImageInfo(location, "", &info);
  if (read == kInfoNoQemuImg) {
    // Without qemu-img only a raw image can be told, by its content, and
    // neither a journal nor one left behind can be used.
    JournalFor(location, image_fd, "raw", "", &journal);
    struct stat left;
    if (lstat(journal.record.c_str(), &left) == 0) {
      ReportDrive(kDriveNoHelper);
      return false;
    }
    if (!UseVolume(location)) {
      ReportDrive(kDriveNoHelper);
      return false;
    }
    return true;
  }
  if (read != kInfoRead || !Writable(info)) {
    ReportDrive(kDriveUnusable);
    return false;
  }
  JournalFor(location, image_fd, info.format, "", &journal);
  if (!SettleJournal(journal)) {
    ReportDrive(kDriveNotStored);
    return false;
  }
  if (FindProgram("qemu-storage-daemon").empty() || !FuseUsable()) {
    if (info.format != "raw") {
      ReportDrive(kDriveNoHelper);
      return false;
    }
    return UseVolume(location);
  }
  uint64_t needed = 0;
  if (!OpenJournaled(location, info, "")) return false;
  if (UseVolume(view.disk, &needed)) return true;
  // A VHD whose partition runs past the size QEMU gives the disk (from its
  // geometry) is sized by its footer instead, where that covers it.
  ImageInfo by_footer;
  const char kFooter[] = "current_size";
  if (info.format != "vpc" || needed <= info.virtual_size ||
      ReadImageInfo(location,
                    std::string("driver=vpc,force_size_calc=") + kFooter + ",",
                    &by_footer) != kInfoRead ||
      by_footer.virtual_size < needed) {
    return false;
  }
  CloseRawView(&view);
  DiscardJournal(journal);
  journaled = false;
  return OpenJournaled(location, by_footer, kFooter) && UseVolume(view.disk);
}

bool Attach(const char* location) {
  Detach();
  if (AttachImage(location)) return true;
  Detach();
  return false;
}

bool List(const std::string& folder, std::vector<std::string>* names) {
  names->clear();
  const std::vector<Entry>* entries = Listing(folder);
  if (!entries) return false;
  for (const Entry& entry : *entries) names->push_back(entry.name);
  std::sort(names->begin(), names->end());
  return true;
}

// The alias the volume stores, never one computed here.
std::string Alias(const std::string& folder, const std::vector<std::string>&,
                  const std::string& name) {
  const Entry* entry = Find(folder.empty() ? name : folder + "/" + name);
  return entry ? entry->alias : "";
}

EntryKind Kind(const std::string& path) {
  if (path.empty()) return kEntryFolder;
  const Entry* entry = Find(path);
  if (!entry) return kEntryMissing;
  return entry->folder ? kEntryFolder : kEntryFile;
}

int OpenRead(const std::string& path) {
  EntryKind kind = Kind(path);
  std::string dos;
  if (kind != kEntryFile || !ShortPath(path, &dos)) {
    errno = kind == kEntryMissing ? ENOENT : EISDIR;
    return -1;
  }
  int fd = ScratchFile();
  if (fd < 0) return -1;
  if (!Mtools("mtype", {dos}, nullptr, fd) || lseek(fd, 0, SEEK_SET) != 0) {
    close(fd);
    errno = EIO;
    return -1;
  }
  return fd;
}

// The content goes into the image when the file is closed.
int OpenWrite(const std::string& path, std::string*) {
  std::string parent, name;
  SplitRelative(path, &parent, &name);
  EntryKind kind = Kind(path);
  if (name.empty() || Kind(parent) != kEntryFolder ||
      (kind != kEntryMissing && kind != kEntryFile)) {
    return -1;
  }
  return ScratchFile();
}

// mcopy reads the content as its descriptor 3.
bool CloseWrite(int fd, const std::string&, const std::string& path) {
  std::string dos;
  bool ok = TargetPath(path, &dos) &&
            Changed(Mtools("mcopy", {"-o", "/dev/fd/3", dos}, nullptr, -1, fd));
  if (!ok) {
    close(fd);
    return false;
  }
  written_path = dos;
  written_fd = fd;
  return true;
}

bool Copy(const std::string& from, const std::string& to) {
  EntryKind target = Kind(to);
  std::string source, destination;
  bool ok = Kind(from) == kEntryFile &&
            (target == kEntryMissing || target == kEntryFile) &&
            ShortPath(from, &source) && TargetPath(to, &destination);
  // Before anything in the image changes.
  if (FaultHit(kFaultCopy)) return false;
  if (!ok) return false;
  if (source == written_path && lseek(written_fd, 0, SEEK_SET) == 0) {
    int fd = written_fd;
    written_fd = -1;  // closed below, once mcopy has read it
    bool copied = Changed(
        Mtools("mcopy", {"-o", "/dev/fd/3", destination}, nullptr, -1, fd));
    return close(fd) == 0 && copied;
  }
  return Changed(Mtools("mcopy", {"-o", source, destination}));
}

bool Remove(const std::string& path) {
  std::string dos;
  return Kind(path) == kEntryFile && ShortPath(path, &dos) &&
         Changed(Mtools("mdel", {dos}));
}

}  // namespace

bool FindImageVolume(const std::string& image, uint64_t* offset,
                     uint64_t* needed) {
  if (needed) *needed = 0;
  int fd = open(image.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st;
  unsigned char sector[kSector];
  bool found = false;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ReadSector(fd, 0, sector)) {
    uint64_t size = static_cast<uint64_t>(st.st_size);
    if (IsFatBootSector(sector, size)) {
      *offset = 0;
      found = true;
    } else if (sector[510] == 0x55 && sector[511] == 0xAA) {
      // An MBR: the first primary partition of a FAT type, whole.
      unsigned char table[64];
      std::copy(sector + 446, sector + 510, table);
      for (size_t i = 0; i < 4 && !found; ++i) {
        const unsigned char* entry = table + 16 * i;
        uint64_t start = uint64_t{Little(entry + 8, 4)} * kSector;
        uint64_t length = uint64_t{Little(entry + 12, 4)} * kSector;
        if (!IsFatPartitionType(entry[4])) continue;
        if (needed) *needed = start + length;
        found = start > 0 && length > 0 && start + length <= size &&
                ReadSector(fd, start, sector) &&
                IsFatBootSector(sector, length);
        if (found) *offset = start;
        break;
      }
    }
  }
  close(fd);
  return found;
}

const DriveBackend kImageDrive = {
    Attach,   Detach,    List,       Alias, Kind,
    OpenRead, OpenWrite, CloseWrite, Copy,  Remove,
};
