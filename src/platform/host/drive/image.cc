#include "platform/host/drive/image.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <vector>

#include "diskimage/engine/disk.h"
#include "diskimage/engine/interrupts.h"
#include "diskimage/volume/mtools.h"
#include "helpers/scratch.h"
#include "lines.h"
#include "platform/host/drive/status.h"

namespace {

using Entry = MdirEntry;

// What the run knows of the volume, so that each folder is listed and each
// file read once: what mtools told, kept as the run's own changes leave
// it. A file the run writes stays out of the volume until it is copied
// over a target, so a temporary file deleted after its copy never reaches
// the volume, and a copy that leaves the target's bytes as they were
// writes nothing: a run that changes nothing never starts the journal.
struct ImageDrive : Drive {
  Disk disk;  // its spec is mtools' -i argument: IMAGE or IMAGE@@OFFSET
  // Whether anything in the volume has changed since it was opened.
  bool volume_changed = false;
  // WriteDisk failed: no change can be made.
  bool unwritable = false;
  // Folders' entries by path; an entry the run wrote has an empty alias
  // until its folder is listed again, since mtools may have made another.
  std::map<std::string, std::vector<Entry>> listings;
  // The bytes of files of the volume by path, as read or written, each an
  // unnamed scratch file.
  std::map<std::string, int> contents;
  // Files the run wrote that are not in the volume, by path.
  std::map<std::string, int> pending;
};

ImageDrive* Self(Drive* drive) {
  return static_cast<ImageDrive*>(drive);
}

// Forgets `path` in `files`; whether it was there.
bool Drop(std::map<std::string, int>* files, const std::string& path) {
  auto found = files->find(path);
  if (found == files->end()) return false;
  close(found->second);
  files->erase(found);
  return true;
}

void Keep(std::map<std::string, int>* files, const std::string& path, int fd) {
  Drop(files, path);
  (*files)[path] = fd;
}

// A descriptor of its own, at the start, of the scratch file `fd`.
int Reopen(int fd) {
  char name[32];
  snprintf(name, sizeof name, "/proc/self/fd/%d", fd);
  return open(name, O_RDONLY | O_CLOEXEC);
}

// Whether scratch files `a` and `b` hold the same bytes.
bool SameBytes(int a, int b) {
  struct stat sa, sb;
  if (fstat(a, &sa) != 0 || fstat(b, &sb) != 0 || sa.st_size != sb.st_size) {
    return false;
  }
  std::vector<char> ba(size_t{64} * 1024), bb(ba.size());
  for (off_t at = 0; at < sa.st_size;) {
    ssize_t count = pread(a, ba.data(), ba.size(), at);
    if (count <= 0 ||
        pread(b, bb.data(), static_cast<size_t>(count), at) != count ||
        !std::equal(ba.begin(), ba.begin() + count, bb.begin())) {
      return false;
    }
    at += count;
  }
  return true;
}

// The first line a helper said, without mtools' habit of ending with a
// full stop or blank.
std::string FirstLine(const std::string& text) {
  for (const std::string& line : SplitLines(text)) {
    if (!line.empty()) return line;
  }
  return "";
}

// Runs an mtools command on the volume (mtools.h); what it says on
// failure becomes the drive's complaint.
bool Mtools(ImageDrive* drive, const char* tool,
            const std::vector<std::string>& args, std::string* out = nullptr,
            int out_fd = -1, int extra_fd = -1) {
  RunOptions options;
  options.out = out;
  options.out_fd = out_fd;
  options.extra_fd = extra_fd;
  std::string said;
  options.err = &said;
  bool ok = RunMtools(drive->disk.spec, tool, args, options);
  if (!ok) {
    std::string line = FirstLine(said);
    drive->complaint = line.empty() ? "" : std::string(tool) + ": " + line;
  }
  return ok;
}

// mtools reads these in a path as a pattern.
bool HasPatternCharacter(const std::string& name) {
  return name.find_first_of("*?[]\\") != std::string::npos;
}

bool ShortPath(ImageDrive* drive, const std::string& relative,
               std::string* dos);
const Entry* Find(ImageDrive* drive, const std::string& relative);

// The entries of a folder as `mdir` lists them, "." and ".." left out.
const std::vector<Entry>* Listing(ImageDrive* drive,
                                  const std::string& folder) {
  auto cached = drive->listings.find(folder);
  if (cached != drive->listings.end()) return &cached->second;
  // mdir given a file lists that file: only folders have listings.
  const Entry* self = folder.empty() ? nullptr : Find(drive, folder);
  if (!folder.empty() && (!self || !self->folder)) return nullptr;
  std::string dos;
  std::string text;
  if (!ShortPath(drive, folder, &dos) ||
      !Mtools(drive, "mdir", {"-a", dos}, &text)) {
    return nullptr;
  }
  std::vector<Entry> entries;
  if (!ParseMdirListing(text, &entries)) return nullptr;
  return &(drive->listings[folder] = entries);
}

// The entry of the volume `relative` names, or null.
const Entry* Find(ImageDrive* drive, const std::string& relative) {
  std::string parent, name;
  SplitRelative(relative, &parent, &name);
  const std::vector<Entry>* entries = Listing(drive, parent);
  if (!entries) return nullptr;
  for (const Entry& entry : *entries) {
    if (entry.name == name) return &entry;
  }
  return nullptr;
}

// The same, with its alias, its folder listed again where the run's own
// change left the alias unknown.
const Entry* FindWithAlias(ImageDrive* drive, const std::string& relative) {
  const Entry* entry = Find(drive, relative);
  if (entry && entry->alias.empty()) {
    std::string parent, name;
    SplitRelative(relative, &parent, &name);
    drive->listings.erase(parent);
    entry = Find(drive, relative);
  }
  return entry;
}

// `relative` as mtools must be given it: every component by the short name
// the volume stores, which holds no pattern character, so that no long
// name is ever read as a pattern. False when a component is missing.
bool ShortPath(ImageDrive* drive, const std::string& relative,
               std::string* dos) {
  if (relative.empty()) {
    *dos = "::/";
    return true;
  }
  std::string parent, name;
  SplitRelative(relative, &parent, &name);
  const Entry* entry = FindWithAlias(drive, relative);
  if (!entry || HasPatternCharacter(entry->alias) ||
      !ShortPath(drive, parent, dos)) {
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
bool TargetPath(ImageDrive* drive, const std::string& relative,
                std::string* dos) {
  std::string parent, name;
  SplitRelative(relative, &parent, &name);
  if (name.empty() || !ShortPath(drive, parent, dos)) return false;
  if (dos->back() != '/') *dos += '/';
  *dos += name;
  return true;
}

DriveStatus ForDrive(DiskStatus status) {
  switch (status) {
    case kDiskOpen:
    case kDiskClosed:
      return kDriveDone;
    case kDiskInUse:
      return kDriveInUse;
    case kDiskNoHelper:
      return kDriveNoHelper;
    case kDiskNoJournal:
      return kDriveNoJournal;
    case kDiskNotStored:
      return kDriveNotStored;
    case kDiskDropped:
      return kDriveDropped;
    case kDiskMissing:
      return kDriveMissing;
    case kDiskUnusable:
      break;
  }
  return kDriveUnusable;
}

// Readies the disk for the run's first change (WriteDisk); what kept it
// from that is the drive's problem, and every change's complaint.
bool Writable(ImageDrive* drive) {
  if (!drive->unwritable) {
    DiskStatus status = WriteDisk(&drive->disk);
    if (status == kDiskOpen) return true;
    ReportDrive(ForDrive(status), drive->disk.why);
    drive->unwritable = true;
  }
  drive->complaint = drive->disk.why;
  return false;
}

// An mtools command that changes file `relative`, written (its bytes now
// those of `fd`) or deleted (`fd` -1). The listings and bytes known are
// kept as it leaves them; after a failure, nothing of them is trusted.
bool Change(ImageDrive* drive, const std::string& relative, const char* tool,
            const std::vector<std::string>& args, int fd = -1) {
  bool ok = Mtools(drive, tool, args, nullptr, -1, fd);
  drive->volume_changed = true;
  Drop(&drive->contents, relative);
  std::string parent, name;
  SplitRelative(relative, &parent, &name);
  auto listing = drive->listings.find(parent);
  if (!ok) {
    for (auto& file : drive->contents) close(file.second);
    drive->contents.clear();
    drive->listings.clear();
  } else if (listing != drive->listings.end()) {
    std::vector<Entry>& entries = listing->second;
    auto entry = std::find_if(entries.begin(), entries.end(),
                              [&](const Entry& e) { return e.name == name; });
    if (fd < 0 && entry != entries.end()) entries.erase(entry);
    if (fd >= 0 && entry != entries.end()) entry->alias.clear();
    if (fd >= 0 && entry == entries.end()) entries.push_back({name, "", false});
  }
  int kept = fd >= 0 && ok ? dup(fd) : -1;
  if (kept >= 0) drive->contents[relative] = kept;
  return ok;
}

// The bytes the volume holds for file `relative`, read once: a scratch
// file the drive keeps, or -1 with errno set.
int VolumeBytes(ImageDrive* drive, const std::string& relative) {
  auto known = drive->contents.find(relative);
  if (known != drive->contents.end()) return known->second;
  const Entry* entry = relative.empty() ? nullptr : Find(drive, relative);
  std::string dos;
  if (!entry || entry->folder || !ShortPath(drive, relative, &dos)) {
    errno = entry ? EISDIR : ENOENT;
    return -1;
  }
  int fd = ScratchFile();
  if (fd < 0) return -1;
  if (!Mtools(drive, "mtype", {dos}, nullptr, fd)) {
    close(fd);
    errno = EIO;
    return -1;
  }
  return drive->contents[relative] = fd;
}

// Stores file `relative` with the bytes of `fd`, unless the volume holds
// them already.
bool Store(ImageDrive* drive, const std::string& relative, int fd) {
  const Entry* entry = Find(drive, relative);
  if (entry && !entry->folder) {
    int old = VolumeBytes(drive, relative);
    if (old >= 0 && SameBytes(old, fd)) return true;
  }
  std::string dos;
  return TargetPath(drive, relative, &dos) && Writable(drive) &&
         Change(drive, relative, "mcopy", {"-o", "/dev/fd/3", dos}, fd);
}

void Detach(Drive* self, DriveProblem* problem) {
  ImageDrive* drive = Self(self);
  // A file written and never copied nor deleted (its delete failed) is
  // stored as it is; after an interrupt nothing more is.
  for (auto& file : drive->pending) {
    if (!InterruptSignal()) Store(drive, file.first, file.second);
    close(file.second);
  }
  for (auto& file : drive->contents) close(file.second);
  DiskStatus closed =
      CloseDisk(&drive->disk, drive->volume_changed, &problem->why);
  if (closed != kDiskClosed) problem->status = ForDrive(closed);
  delete drive;
}

// Read-only, nothing is ever written: no journal is made, and the volume
// is read directly or through a view that cannot write.
Drive* Attach(const char* location, bool read_only, DriveProblem* problem) {
  ImageDrive* drive = new ImageDrive;
  drive->ops = &kImageDrive;
  DiskStatus opened = OpenDisk(location, read_only, &drive->disk);
  if (!drive->disk.took.empty()) NoteDriveC(drive->disk.took);
  NoteSoundCard(drive->disk.sound_agrees, drive->disk.sound_differs);
  if (opened == kDiskOpen) return drive;
  problem->status = ForDrive(opened);
  problem->why = drive->disk.why;
  delete drive;
  return nullptr;
}

bool List(Drive* self, const std::string& folder,
          std::vector<std::string>* names) {
  ImageDrive* drive = Self(self);
  names->clear();
  const std::vector<Entry>* entries = Listing(drive, folder);
  if (!entries) return false;
  for (const Entry& entry : *entries) names->push_back(entry.name);
  for (const auto& file : drive->pending) {
    std::string parent, name;
    SplitRelative(file.first, &parent, &name);
    if (parent == folder) names->push_back(name);
  }
  std::sort(names->begin(), names->end());
  names->erase(std::unique(names->begin(), names->end()), names->end());
  return true;
}

// The alias the volume stores, never one computed here.
std::string Alias(Drive* drive, const std::string& folder,
                  const std::vector<std::string>&, const std::string& name) {
  const Entry* entry = FindWithAlias(Self(drive), JoinRelative(folder, name));
  return entry ? entry->alias : "";
}

EntryKind Kind(Drive* self, const std::string& path) {
  ImageDrive* drive = Self(self);
  if (path.empty()) return kEntryFolder;
  if (drive->pending.count(path)) return kEntryFile;
  const Entry* entry = Find(drive, path);
  if (!entry) return kEntryMissing;
  return entry->folder ? kEntryFolder : kEntryFile;
}

int OpenRead(Drive* self, const std::string& path) {
  ImageDrive* drive = Self(self);
  auto pending = drive->pending.find(path);
  int fd = pending != drive->pending.end() ? pending->second
                                           : VolumeBytes(drive, path);
  return fd < 0 ? -1 : Reopen(fd);
}

// The content stays with the drive until it is copied, or the drive closes.
int OpenWrite(Drive* drive, const std::string& path) {
  std::string parent, name;
  SplitRelative(path, &parent, &name);
  EntryKind kind = Kind(drive, path);
  if (name.empty() || Kind(drive, parent) != kEntryFolder ||
      (kind != kEntryMissing && kind != kEntryFile)) {
    return -1;
  }
  return ScratchFile();
}

bool CloseWrite(Drive* self, int fd, const std::string& path) {
  ImageDrive* drive = Self(self);
  std::string dos;
  if (!TargetPath(drive, path, &dos)) {
    close(fd);
    return false;
  }
  Keep(&drive->pending, path, fd);
  return true;
}

bool Copy(Drive* self, const std::string& from, const std::string& to) {
  ImageDrive* drive = Self(self);
  EntryKind target = Kind(drive, to);
  auto pending = drive->pending.find(from);
  int source = -1;
  if (Kind(drive, from) == kEntryFile &&
      (target == kEntryMissing || target == kEntryFile)) {
    source = pending != drive->pending.end() ? pending->second
                                             : VolumeBytes(drive, from);
  }
  // The source's bytes are there; nothing in the image has changed yet.
  CopyCrashPoint();
  if (source < 0 || !Store(drive, to, source)) return false;
  if (to != from) Drop(&drive->pending, to);
  return true;
}

bool Remove(Drive* self, const std::string& path) {
  ImageDrive* drive = Self(self);
  bool was_pending = Drop(&drive->pending, path);
  const Entry* entry = Find(drive, path);
  if (!entry || entry->folder) return was_pending;
  std::string dos;
  return ShortPath(drive, path, &dos) && Writable(drive) &&
         Change(drive, path, "mdel", {dos});
}

}  // namespace

const DriveBackend kImageDrive = {
    Attach,   Detach,    List,       Alias, Kind,
    OpenRead, OpenWrite, CloseWrite, Copy,  Remove,
};
