#include "platform/host/drive/image.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <vector>

#include "diskimage/engine/disk.h"
#include "diskimage/volume/mtools.h"
#include "helpers/scratch.h"
#include "lines.h"
#include "platform/host/drive/status.h"

namespace {

using Entry = MdirEntry;

struct ImageDrive : Drive {
  Disk disk;  // its spec is mtools' -i argument: IMAGE or IMAGE@@OFFSET
  // Whether anything in the volume has changed since it was opened.
  bool volume_changed = false;
  // Folders' listings by path, each read once until the volume changes.
  std::map<std::string, std::vector<Entry>> listings;
  // The file written last and its bytes, still open: copying it over its
  // target (the temporary file's one use) then need not read it back out
  // of the volume, which through a view costs as much as the write.
  std::string written_path;
  int written_fd = -1;
};

ImageDrive* Self(Drive* drive) {
  return static_cast<ImageDrive*>(drive);
}

void ForgetWritten(ImageDrive* drive) {
  if (drive->written_fd >= 0) close(drive->written_fd);
  drive->written_fd = -1;
  drive->written_path.clear();
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

// The entry `relative` names, or null.
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
  const Entry* entry = Find(drive, relative);
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

// After an mtools command that may have changed the volume: every listing
// read before it, and the file written last, are forgotten.
void VolumeChanged(ImageDrive* drive) {
  ForgetWritten(drive);
  drive->listings.clear();
  drive->volume_changed = true;
}

// An mtools command that may change the volume.
bool Change(ImageDrive* drive, const char* tool,
            const std::vector<std::string>& args, int extra_fd = -1) {
  bool ok = Mtools(drive, tool, args, nullptr, -1, extra_fd);
  VolumeChanged(drive);
  return ok;
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

void Detach(Drive* self, DriveProblem* problem) {
  ImageDrive* drive = Self(self);
  ForgetWritten(drive);
  DiskStatus closed = CloseDisk(&drive->disk, drive->volume_changed);
  if (closed != kDiskClosed) problem->status = ForDrive(closed);
  delete drive;
}

// Read-only, nothing is written: no journal is made, and the volume is
// read through a view that cannot write.
Drive* Attach(const char* location, bool read_only, DriveProblem* problem) {
  ImageDrive* drive = new ImageDrive;
  drive->ops = &kImageDrive;
  DiskStatus opened = OpenDisk(location, read_only, &drive->disk);
  if (!drive->disk.took.empty()) NoteDriveC(drive->disk.took);
  if (opened == kDiskOpen) return drive;
  problem->status = ForDrive(opened);
  problem->why = drive->disk.why;
  delete drive;
  return nullptr;
}

bool List(Drive* drive, const std::string& folder,
          std::vector<std::string>* names) {
  names->clear();
  const std::vector<Entry>* entries = Listing(Self(drive), folder);
  if (!entries) return false;
  for (const Entry& entry : *entries) names->push_back(entry.name);
  std::sort(names->begin(), names->end());
  return true;
}

// The alias the volume stores, never one computed here.
std::string Alias(Drive* drive, const std::string& folder,
                  const std::vector<std::string>&, const std::string& name) {
  const Entry* entry = Find(Self(drive), JoinRelative(folder, name));
  return entry ? entry->alias : "";
}

EntryKind Kind(Drive* drive, const std::string& path) {
  if (path.empty()) return kEntryFolder;
  const Entry* entry = Find(Self(drive), path);
  if (!entry) return kEntryMissing;
  return entry->folder ? kEntryFolder : kEntryFile;
}

int OpenRead(Drive* self, const std::string& path) {
  ImageDrive* drive = Self(self);
  EntryKind kind = Kind(drive, path);
  std::string dos;
  if (kind != kEntryFile || !ShortPath(drive, path, &dos)) {
    errno = kind == kEntryMissing ? ENOENT : EISDIR;
    return -1;
  }
  int fd = ScratchFile();
  if (fd < 0) return -1;
  if (!Mtools(drive, "mtype", {dos}, nullptr, fd) ||
      lseek(fd, 0, SEEK_SET) != 0) {
    close(fd);
    errno = EIO;
    return -1;
  }
  return fd;
}

// The content goes into the image when the file is closed.
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

// mcopy reads the content as its descriptor 3.
bool CloseWrite(Drive* self, int fd, const std::string& path) {
  ImageDrive* drive = Self(self);
  std::string dos;
  bool ok = TargetPath(drive, path, &dos) &&
            Change(drive, "mcopy", {"-o", "/dev/fd/3", dos}, fd);
  if (!ok) {
    close(fd);
    return false;
  }
  drive->written_path = dos;
  drive->written_fd = fd;
  return true;
}

bool Copy(Drive* self, const std::string& from, const std::string& to) {
  ImageDrive* drive = Self(self);
  EntryKind target = Kind(drive, to);
  std::string source, destination;
  bool ok = Kind(drive, from) == kEntryFile &&
            (target == kEntryMissing || target == kEntryFile) &&
            ShortPath(drive, from, &source) &&
            TargetPath(drive, to, &destination);
  // The source's bytes are there; nothing in the image has changed yet.
  CopyCrashPoint();
  if (!ok) return false;
  if (source == drive->written_path &&
      lseek(drive->written_fd, 0, SEEK_SET) == 0) {
    int fd = drive->written_fd;
    drive->written_fd = -1;  // closed below, once mcopy has read it
    bool copied = Change(drive, "mcopy", {"-o", "/dev/fd/3", destination}, fd);
    return close(fd) == 0 && copied;
  }
  return Change(drive, "mcopy", {"-o", source, destination});
}

bool Remove(Drive* drive, const std::string& path) {
  std::string dos;
  return Kind(drive, path) == kEntryFile &&
         ShortPath(Self(drive), path, &dos) &&
         Change(Self(drive), "mdel", {dos});
}

}  // namespace

const DriveBackend kImageDrive = {
    Attach,   Detach,    List,       Alias, Kind,
    OpenRead, OpenWrite, CloseWrite, Copy,  Remove,
};
