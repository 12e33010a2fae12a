#include "diskimage/engine/disk.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "diskimage/engine/children.h"
#include "diskimage/engine/interrupts.h"
#include "diskimage/engine/inuse.h"
#include "diskimage/engine/names.h"
#include "diskimage/formats/vhd.h"
#include "diskimage/qemu/tools.h"
#include "diskimage/volume/volume.h"
#include "helpers/spawn.h"

namespace {

const char kNoView[] = "qemu-storage-daemon could not show the image over FUSE";

// Formats QEMU writes in place; a streamOptimized VMDK it cannot.
bool Writable(const ImageInfo& info) {
  static const char* const kFormats[] = {
      "raw", "qcow2", "qcow", "qed", "vpc", "vdi", "vmdk", "vhdx", "parallels"};
  for (const char* format : kFormats) {
    if (info.format == format) return !info.stream_optimized;
  }
  return false;
}

DiskStatus Refuse(Disk* disk, DiskStatus status, const std::string& why) {
  disk->why = why;
  return status;
}

// Points mtools at the volume in `view`; false when it holds none.
// `needed` receives the end of a FAT partition that lies past the disk.
bool UseVolume(Disk* disk, const std::string& view,
               uint64_t* needed = nullptr) {
  uint64_t offset = 0;
  // mtools reads "@@" in its -i argument as the start of an offset.
  if (view.find("@@") != std::string::npos ||
      !FindVolume(view, &offset, needed)) {
    disk->why = "no FAT volume that can be drive C";
    return false;
  }
  disk->spec = view;
  if (offset > 0) disk->spec += "@@" + std::to_string(offset);
  return true;
}

// Why no view of an image can be opened here, or "" when one can.
std::string WhyNoView() {
  if (FindProgram("qemu-storage-daemon").empty()) {
    return "qemu-storage-daemon is not installed";
  }
  return FuseUsable() ? "" : "FUSE cannot be used by this user";
}

// Shows QEMU the image as the disk's chain composes it, over its layer
// `bottom` (none where it is chain.size()) of which QEMU itself shows
// `bottom_size` bytes (bridge.h).
DiskStatus BridgeImage(Disk* disk, size_t bottom, uint64_t bottom_size,
                       const char* location) {
  if (!OpenBridge(disk->chain, bottom, bottom_size, location, &disk->bridge)) {
    return Refuse(disk, kDiskNoHelper, kNoView);
  }
  disk->journal.image_nodes = disk->bridge.nodes;
  return kDiskOpen;
}

// Opens the view of the image of `size` bytes that `disk->journal` shows:
// through the journal, or read-only through none.
DiskStatus OpenView(Disk* disk, const char* location, uint64_t size) {
  if (!disk->read_only) {
    if (!BeginJournal(disk->journal, size)) {
      return Refuse(disk, kDiskNoJournal,
                    "cannot make the journal beside the image");
    }
    disk->journaled = true;
  }
  std::vector<std::string> blockdevs = disk->read_only
                                           ? ImageBlockdevs(disk->journal)
                                           : JournalBlockdevs(disk->journal);
  if (!OpenRawView(blockdevs, !disk->read_only, ImageFolder(location),
                   &disk->view)) {
    return Refuse(disk, kDiskNoHelper, kNoView);
  }
  return kDiskOpen;
}

// A disk of a format the program reads itself (`format` claims it), read
// through its chain and never shown to QEMU itself: its parents are held
// shared and only read, the journal goes over a bridge (bridge.h), and the
// commit writes the image alone (commit.h).
DiskStatus OpenOwn(Disk* disk, const char* location,
                   const LayerFormat* format) {
  std::string why;
  switch (OpenChain(format, disk->image_fd, location, &disk->chain, &why)) {
    case kChainOpen:
      break;
    case kChainRefused:
      return Refuse(disk, kDiskUnusable, why);
    case kChainMissing:
      return Refuse(disk, kDiskMissing, why);
  }
  if (!disk->chain[0].saved_state.empty()) {
    return Refuse(disk, kDiskInUse,
                  "in use by a saved machine (" + disk->chain[0].saved_state +
                      "); resume it and shut it down first");
  }
  for (size_t i = 1; i < disk->chain.size(); ++i) {
    int fd = disk->chain[i].fd;
    if (ImageOpenForWritingElsewhere(fd) || !HoldImage(fd, true)) {
      return kDiskInUse;
    }
  }
  if (FindProgram("qemu-img").empty()) {
    return Refuse(disk, kDiskNoHelper, "qemu-img is not installed");
  }
  JournalFor(location, disk->image_fd, format->name, "", &disk->journal,
             &disk->chain);
  if (disk->read_only ? JournalWaits(disk->journal)
                      : !SettleJournal(disk->journal, &disk->why)) {
    return kDiskNotStored;
  }
  // Settling may have written the image.
  if (!RereadTop(&disk->chain, &why)) return Refuse(disk, kDiskUnusable, why);
  std::string no_view = WhyNoView();
  if (!no_view.empty()) return Refuse(disk, kDiskNoHelper, no_view);
  size_t bottom = QemuBottom(disk->chain);
  uint64_t bottom_size = 0;
  if (bottom < disk->chain.size()) {
    // A fixed VHD is a raw disk to QEMU's probe, so the driver is named.
    ImageInfo info;
    const Layer& layer = disk->chain[bottom];
    if (ReadImageInfo(layer.path,
                      std::string("driver=") + layer.qemu_driver + ",",
                      &info) != kInfoRead) {
      return Refuse(disk, kDiskUnusable,
                    "qemu-img cannot read its parent " + layer.path);
    }
    bottom_size = info.virtual_size;
  }
  DiskStatus opened = BridgeImage(disk, bottom, bottom_size, location);
  if (opened == kDiskOpen) {
    opened = OpenView(disk, location, disk->chain[0].size);
  }
  if (opened != kDiskOpen) return opened;
  return UseVolume(disk, disk->view.disk) ? kDiskOpen : kDiskUnusable;
}

// An image another process uses is left alone; else it is locked here for
// the whole run. Where QEMU's tools and FUSE are there, the run works
// through a journal; else a raw image is changed directly.
DiskStatus Open(Disk* disk, const char* location) {
  int mode = disk->read_only ? O_RDONLY : O_RDWR;
  disk->image_fd = open(location, mode | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  struct stat st;
  if (disk->image_fd < 0) {
    return Refuse(disk, kDiskUnusable,
                  std::string("cannot be opened: ") + strerror(errno));
  }
  if (fstat(disk->image_fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    return Refuse(disk, kDiskUnusable, "not a regular file");
  }
  if (ImageLockedElsewhere(disk->image_fd) ||
      ImageOpenForWritingElsewhere(disk->image_fd) ||
      !HoldImage(disk->image_fd, disk->read_only)) {
    return kDiskInUse;
  }
  // Before any QEMU tool opens it, and so follows what it names.
  std::string why = UnsupportedChild(disk->image_fd);
  if (!why.empty()) return Refuse(disk, kDiskUnusable, why);
  // A format of the program's own names its parents in its own way.
  const LayerFormat* own = ClaimingFormat(disk->image_fd);
  switch (own ? kNamesSafe : CheckImageNames(location, disk->image_fd, &why)) {
    case kNamesSafe:
      break;
    case kNamesRefused:
      return Refuse(disk, kDiskUnusable, "a file the image names: " + why);
    case kNamesMissing:
      return Refuse(disk, kDiskMissing, "a file the image names: " + why);
  }
  if (FindProgram("mtype").empty()) {
    return Refuse(disk, kDiskNoHelper, "mtools is not installed");
  }
  if (own) return OpenOwn(disk, location, own);
  ImageInfo info;
  InfoResult read = ReadImageInfo(location, "", &info);
  if (read == kInfoNoQemuImg) {
    // Without qemu-img only a raw image can be told, by its content, and
    // neither a journal nor one left behind can be used.
    JournalFor(location, disk->image_fd, "raw", "", &disk->journal);
    struct stat left;
    if (lstat(disk->journal.record.c_str(), &left) == 0) {
      return Refuse(disk, kDiskNoHelper,
                    "qemu-img is not installed, and a journal waits beside "
                    "the image");
    }
    if (UseVolume(disk, location)) return kDiskOpen;
    return Refuse(disk, kDiskNoHelper,
                  "no FAT volume found, and without qemu-img only a raw "
                  "image can be read");
  }
  if (read != kInfoRead) {
    return Refuse(disk, kDiskUnusable, "qemu-img cannot read the image");
  }
  if (!Writable(info)) {
    return Refuse(disk, kDiskUnusable,
                  "QEMU cannot write this " + info.format + " image in place");
  }
  JournalFor(location, disk->image_fd, info.format, "", &disk->journal);
  if (disk->read_only ? JournalWaits(disk->journal)
                      : !SettleJournal(disk->journal, &disk->why)) {
    return kDiskNotStored;
  }
  // A raw image read alone needs no view.
  if (disk->read_only && info.format == "raw") {
    return UseVolume(disk, location) ? kDiskOpen : kDiskUnusable;
  }
  std::string no_view = WhyNoView();
  if (!no_view.empty()) {
    if (info.format != "raw") return Refuse(disk, kDiskNoHelper, no_view);
    return UseVolume(disk, location) ? kDiskOpen : kDiskUnusable;
  }
  uint64_t needed = 0;
  DiskStatus opened = OpenView(disk, location, info.virtual_size);
  if (opened != kDiskOpen) return opened;
  if (UseVolume(disk, disk->view.disk, &needed)) return kDiskOpen;
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
  CloseRawView(&disk->view);
  if (disk->journaled) DiscardJournal(disk->journal);
  disk->journaled = false;
  JournalFor(location, disk->image_fd, info.format, kFooter, &disk->journal);
  // qemu-storage-daemon takes no sizing option: what lies past the size
  // QEMU gives the disk is bridged, read here (bridge.h). qemu-img, which
  // commits, takes one.
  disk->chain.assign(1, Layer());
  if (!OpenLayer(&kVhdFormat, disk->image_fd, location, &disk->chain[0],
                 &why)) {
    return Refuse(disk, kDiskUnusable, "the image " + why);
  }
  opened = BridgeImage(disk, 0, info.virtual_size, location);
  if (opened == kDiskOpen) {
    opened = OpenView(disk, location, by_footer.virtual_size);
  }
  if (opened != kDiskOpen) return opened;
  return UseVolume(disk, disk->view.disk) ? kDiskOpen : kDiskUnusable;
}

}  // namespace

DiskStatus OpenDisk(const char* location, bool read_only, Disk* disk) {
  CloseDisk(disk, false);
  disk->read_only = read_only;
  disk->why.clear();
  // Absolute, since the helpers start in the image's folder.
  std::string path = location;
  if (path.empty() || path[0] != '/') {
    char* cwd = getcwd(nullptr, 0);
    path = std::string(cwd ? cwd : ".") + "/" + path;
    free(cwd);
  }
  DiskStatus status = Open(disk, path.c_str());
  if (status != kDiskOpen) {
    std::string why = disk->why;
    CloseDisk(disk, false);
    disk->why = why;
  }
  return status;
}

DiskStatus CloseDisk(Disk* disk, bool changed) {
  DiskStatus status = kDiskClosed;
  bool clean = CloseRawView(&disk->view);
  if (disk->journaled) {
    // Nothing past an interrupt or a daemon that died is ever committed.
    if (!changed || !clean || InterruptSignal()) {
      DiscardJournal(disk->journal);
      if (changed && !clean) status = kDiskDropped;
    } else {
      CommitResult committed = CommitJournal(disk->journal);
      if (committed == kCommitWaits) status = kDiskNotStored;
      if (committed == kCommitDropped) status = kDiskDropped;
    }
  }
  CloseBridge(&disk->bridge);
  CloseChain(&disk->chain);
  if (disk->image_fd >= 0) close(disk->image_fd);
  bool read_only = disk->read_only;
  *disk = Disk();
  disk->read_only = read_only;
  return status;
}
