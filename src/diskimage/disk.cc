#include "diskimage/disk.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "diskimage/interrupts.h"
#include "diskimage/inuse.h"
#include "diskimage/journal.h"
#include "diskimage/names.h"
#include "diskimage/qemu.h"
#include "diskimage/spawn.h"
#include "diskimage/view.h"
#include "diskimage/volume.h"

namespace {

// The image file, held open and locked for as long as the disk is open;
// its journal, when the run works through one; the view that shows the
// volume; and mtools' -i argument for it.
int image_fd = -1;
bool journaled = false;
Journal journal;
RawView view;
std::string spec;

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
      !FindVolume(disk, &offset, needed)) {
    return false;
  }
  spec = disk;
  if (offset > 0) spec += "@@" + std::to_string(offset);
  return true;
}

// Opens the journal over the image and the view through it.
DiskStatus OpenJournaled(const char* location, const ImageInfo& info,
                         const std::string& sizing) {
  JournalFor(location, image_fd, info.format, sizing, &journal);
  if (!BeginJournal(journal, info.virtual_size)) return kDiskNoJournal;
  journaled = true;
  if (!OpenRawView(JournalBlockdevs(journal), &view)) return kDiskNoHelper;
  return kDiskOpen;
}

// An image another process uses is left alone; else it is locked here for
// the whole run. Where QEMU's tools and FUSE are there, the run works
// through a journal; else a raw image is changed directly.
DiskStatus Open(const char* location) {
  image_fd = open(location, O_RDWR | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  struct stat st;
  if (image_fd < 0 || fstat(image_fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    return kDiskUnusable;
  }
  if (ImageLockedElsewhere(image_fd) ||
      ImageOpenForWritingElsewhere(image_fd) || !HoldImage(image_fd)) {
    return kDiskInUse;
  }
  // Before any QEMU tool opens it, and so follows what it names.
  std::string why;
  switch (CheckImageNames(location, image_fd, &why)) {
    case kNamesSafe:
      break;
    case kNamesRefused:
      return kDiskUnusable;
    case kNamesMissing:
      return kDiskMissing;
  }
  if (FindProgram("mtype").empty()) return kDiskNoHelper;
  ImageInfo info;
  InfoResult read = ReadImageInfo(location, "", &info);
  if (read == kInfoNoQemuImg) {
    // Without qemu-img only a raw image can be told, by its content, and
    // neither a journal nor one left behind can be used.
    JournalFor(location, image_fd, "raw", "", &journal);
    struct stat left;
    bool usable =
        lstat(journal.record.c_str(), &left) != 0 && UseVolume(location);
    return usable ? kDiskOpen : kDiskNoHelper;
  }
  if (read != kInfoRead || !Writable(info)) return kDiskUnusable;
  JournalFor(location, image_fd, info.format, "", &journal);
  if (!SettleJournal(journal)) return kDiskNotStored;
  if (FindProgram("qemu-storage-daemon").empty() || !FuseUsable()) {
    if (info.format != "raw") return kDiskNoHelper;
    return UseVolume(location) ? kDiskOpen : kDiskUnusable;
  }
  uint64_t needed = 0;
  DiskStatus opened = OpenJournaled(location, info, "");
  if (opened != kDiskOpen) return opened;
  if (UseVolume(view.disk, &needed)) return kDiskOpen;
  // A VHD whose partition runs past the size QEMU gives the disk (from its
  // geometry) is sized by its footer instead, where that covers it.
  ImageInfo by_footer;
  const char kFooter[] = "current_size";
  if (info.format != "vpc" || needed <= info.virtual_size ||
      ReadImageInfo(location,
                    std::string("driver=vpc,force_size_calc=") + kFooter + ",",
                    &by_footer) != kInfoRead ||
      by_footer.virtual_size < needed) {
    return kDiskUnusable;
  }
  CloseRawView(&view);
  DiscardJournal(journal);
  journaled = false;
  opened = OpenJournaled(location, by_footer, kFooter);
  if (opened != kDiskOpen) return opened;
  return UseVolume(view.disk) ? kDiskOpen : kDiskUnusable;
}

}  // namespace

DiskStatus OpenDisk(const char* location, std::string* mtools_spec) {
  CloseDisk(false);
  // Absolute, since the helpers start in the image's folder.
  std::string path = location;
  if (path.empty() || path[0] != '/') {
    char* cwd = getcwd(nullptr, 0);
    path = std::string(cwd ? cwd : ".") + "/" + path;
    free(cwd);
  }
  size_t slash = path.rfind('/');
  SetHelperFolder(slash == 0 ? "/" : path.substr(0, slash));
  DiskStatus status = Open(path.c_str());
  if (status != kDiskOpen) {
    CloseDisk(false);
    return status;
  }
  *mtools_spec = spec;
  return kDiskOpen;
}

DiskStatus CloseDisk(bool changed) {
  DiskStatus status = kDiskClosed;
  spec.clear();
  bool clean = CloseRawView(&view);
  if (journaled) {
    // Nothing past an interrupt or a daemon that died is ever committed.
    if (!changed || !clean || InterruptSignal()) {
      DiscardJournal(journal);
      if (changed && !clean) status = kDiskDropped;
    } else {
      CommitResult committed = CommitJournal(journal);
      if (committed == kCommitWaits) status = kDiskNotStored;
      if (committed == kCommitDropped) status = kDiskDropped;
    }
  }
  journaled = false;
  if (image_fd >= 0) close(image_fd);
  image_fd = -1;
  SetHelperFolder("");
  return status;
}
