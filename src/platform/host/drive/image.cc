#include "platform/host/drive/image.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <vector>

#include "diskimage/disk.h"
#include "diskimage/mtools.h"
#include "diskimage/scratch.h"
#include "platform/host/drive/status.h"

namespace {

std::string image_spec;  // mtools' -i argument: IMAGE or IMAGE@@OFFSET

using Entry = MdirEntry;

// Whether anything in the volume has changed since it was opened.
bool volume_changed = false;

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

// Runs an mtools command on the volume (mtools.h).
bool Mtools(const char* tool, const std::vector<std::string>& args,
            std::string* out = nullptr, int out_fd = -1, int extra_fd = -1) {
  return RunMtools(image_spec, tool, args, out, out_fd, extra_fd);
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
  std::vector<Entry> entries;
  if (!ParseMdirListing(text, &entries)) return nullptr;
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

// After an mtools command that may have changed the volume: every listing
// read before it, and the file written last, are forgotten.
void VolumeChanged() {
  ForgetWritten();
  listings.clear();
  volume_changed = true;
}

// An mtools command that may change the volume.
bool Change(const char* tool, const std::vector<std::string>& args,
            int extra_fd = -1) {
  bool ok = Mtools(tool, args, nullptr, -1, extra_fd);
  VolumeChanged();
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

void Detach() {
  ForgetWritten();
  image_spec.clear();
  listings.clear();
  DiskStatus closed = CloseDisk(volume_changed);
  volume_changed = false;
  if (closed != kDiskClosed) ReportDrive(ForDrive(closed));
}

bool Attach(const char* location) {
  Detach();
  DiskStatus opened = OpenDisk(location, &image_spec);
  if (opened == kDiskOpen) return true;
  ReportDrive(ForDrive(opened));
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
  const Entry* entry = Find(JoinRelative(folder, name));
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
int OpenWrite(const std::string& path) {
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
bool CloseWrite(int fd, const std::string& path) {
  std::string dos;
  bool ok =
      TargetPath(path, &dos) && Change("mcopy", {"-o", "/dev/fd/3", dos}, fd);
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
  // The source's bytes are there; nothing in the image has changed yet.
  CopyCrashPoint();
  if (!ok) return false;
  if (source == written_path && lseek(written_fd, 0, SEEK_SET) == 0) {
    int fd = written_fd;
    written_fd = -1;  // closed below, once mcopy has read it
    bool copied = Change("mcopy", {"-o", "/dev/fd/3", destination}, fd);
    return close(fd) == 0 && copied;
  }
  return Change("mcopy", {"-o", source, destination});
}

bool Remove(const std::string& path) {
  std::string dos;
  return Kind(path) == kEntryFile && ShortPath(path, &dos) &&
         Change("mdel", {dos});
}

}  // namespace

const DriveBackend kImageDrive = {
    Attach,   Detach,    List,       Alias, Kind,
    OpenRead, OpenWrite, CloseWrite, Copy,  Remove,
};
