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
#include "diskimage/engine/unsupported.h"
#include "diskimage/formats/plain.h"
#include "diskimage/formats/vhd.h"
#include "diskimage/machines/machine.h"
#include "diskimage/machines/vbox.h"
#include "diskimage/qemu/probe.h"
#include "diskimage/qemu/tools.h"
#include "diskimage/volume/volume.h"
#include "helpers/paths.h"
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

// Points mtools at the volume in `file`, which holds the disk from its
// byte `start`.
void SetSpec(Disk* disk, const std::string& file, uint64_t start = 0) {
  disk->spec = file;
  uint64_t at = start + disk->offset;
  if (at > 0) disk->spec += "@@" + std::to_string(at);
}

// Finds the volume in `file`, which holds the disk (`length` bytes from
// its byte `start`, or to its end), and points mtools at it; false when
// it holds none. `needed` receives the end of a FAT partition that lies
// past the disk.
bool UseVolume(Disk* disk, const std::string& file, uint64_t* needed = nullptr,
               uint64_t start = 0, uint64_t length = UINT64_MAX) {
  // mtools reads "@@" in its -i argument as the start of an offset.
  if (file.find("@@") != std::string::npos ||
      !FindVolume(file, &disk->offset, needed, start, length)) {
    disk->why = "no FAT volume that can be drive C";
    return false;
  }
  SetSpec(disk, file, start);
  return true;
}

// A disk the image file keeps as plain bytes from `at` on (plain.h):
// mtools reads it there itself, and QEMU shows it as a raw disk there.
DiskStatus ReadPlain(Disk* disk, uint64_t at, uint64_t length) {
  disk->direct = true;
  return UseVolume(disk, disk->path, nullptr, at, length) ? kDiskOpen
                                                          : kDiskUnusable;
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
DiskStatus BridgeImage(Disk* disk, size_t bottom, uint64_t bottom_size) {
  if (!OpenBridge(disk->chain, bottom, bottom_size, disk->path,
                  &disk->bridge)) {
    return Refuse(disk, kDiskNoHelper, kNoView);
  }
  disk->journal.image_nodes = disk->bridge.nodes;
  return kDiskOpen;
}

// Opens a view that cannot write of the disk of `size` bytes that the
// journal's image nodes show, and finds the volume in it (UseVolume).
DiskStatus OpenReadView(Disk* disk, uint64_t size, uint64_t* needed = nullptr) {
  disk->size = size;
  if (!OpenRawView(ImageBlockdevs(disk->journal), false,
                   ImageFolder(disk->path), &disk->view)) {
    return Refuse(disk, kDiskNoHelper, kNoView);
  }
  return UseVolume(disk, disk->view.disk, needed) ? kDiskOpen : kDiskUnusable;
}

// Settles a journal an earlier run left; read-only, one that waits is
// kDiskNotStored, since a run would change the image by it first.
DiskStatus Settle(Disk* disk) {
  bool waits = disk->read_only ? JournalWaits(disk->journal)
                               : !SettleJournal(disk->journal, &disk->why);
  return waits ? kDiskNotStored : kDiskOpen;
}

// A disk of a format the program reads itself (`format` claims it), read
// through its chain and never shown to QEMU itself: its parents are held
// shared and only read, the journal goes over a bridge (bridge.h), and the
// commit writes the image alone (commit.h).
DiskStatus OpenOwn(Disk* disk, const LayerFormat* format) {
  std::string why;
  switch (OpenChain(format, disk->image_fd, disk->path, &disk->chain, &why,
                    disk->parents)) {
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
    const Layer& parent = disk->chain[i];
    struct stat lock;
    if (lstat((parent.path + ".lock").c_str(), &lock) == 0) {
      return Refuse(disk, kDiskInUse,
                    "in use by Bochs (" + parent.path + ".lock lies beside " +
                        "its parent)");
    }
    if (ImageOpenForWritingElsewhere(parent.fd) ||
        !HoldImage(parent.fd, true)) {
      return kDiskInUse;
    }
  }
  if (FindProgram("qemu-img").empty()) {
    return Refuse(disk, kDiskNoHelper, "qemu-img is not installed");
  }
  JournalFor(disk->path, disk->image_fd, format->name, "", &disk->journal,
             &disk->chain);
  DiskStatus settled = Settle(disk);
  if (settled != kDiskOpen) return settled;
  // Settling may have written the image.
  if (!RereadTop(&disk->chain, &why)) return Refuse(disk, kDiskUnusable, why);
  std::string no_view = WhyNoView();
  if (!no_view.empty()) return Refuse(disk, kDiskNoHelper, no_view);
  uint64_t at = 0;
  if (disk->chain.size() == 1 && PlainAt(disk->chain[0], &at)) {
    disk->journal.image_nodes = {
        "driver=raw,node-name=image,read-only=on,offset=" + std::to_string(at) +
        ",size=" + std::to_string(disk->chain[0].size) +
        ",file.driver=file,file.locking=off,file.filename=" +
        OptionValue(disk->path)};
    disk->size = disk->chain[0].size;
    return ReadPlain(disk, at, disk->size);
  }
  size_t bottom = QemuBottom(disk->chain);
  uint64_t bottom_size = 0;
  if (bottom < disk->chain.size()) {
    // A fixed VHD is a raw disk to QEMU's probe, so the driver is named.
    ImageInfo info;
    const Layer& layer = disk->chain[bottom];
    if (ReadImageInfo(layer.path, "driver=" + layer.qemu_driver + ",", &info) !=
        kInfoRead) {
      return Refuse(disk, kDiskUnusable,
                    "qemu-img cannot read its parent " + layer.path);
    }
    bottom_size = info.virtual_size;
  }
  DiskStatus opened = BridgeImage(disk, bottom, bottom_size);
  if (opened != kDiskOpen) return opened;
  if (disk->bridge.raw.empty()) return OpenReadView(disk, disk->chain[0].size);
  // A raw bridge mtools reads itself.
  disk->size = disk->chain[0].size;
  disk->direct = true;
  return UseVolume(disk, disk->bridge.raw) ? kDiskOpen : kDiskUnusable;
}

// Without qemu-img only a raw image can be told, by its content, and
// neither a journal nor one left behind can be used: it is changed
// directly.
DiskStatus OpenWithoutQemu(Disk* disk) {
  disk->direct = true;
  disk->unjournaled = true;
  JournalFor(disk->path, disk->image_fd, "raw", "", &disk->journal);
  struct stat left;
  if (lstat(disk->journal.record.c_str(), &left) == 0) {
    return Refuse(disk, kDiskNoHelper,
                  "qemu-img is not installed, and a journal waits beside "
                  "the image");
  }
  if (UseVolume(disk, disk->path)) return kDiskOpen;
  return Refuse(disk, kDiskNoHelper,
                "no FAT volume found, and without qemu-img only a raw "
                "image can be read");
}

// A Virtual PC VHD, whose partition runs past the size QEMU gives the disk
// from its geometry (`info`), sized by its footer where that covers the
// partition's end `needed`. qemu-storage-daemon takes no sizing option:
// what lies past QEMU's size is bridged, read here (bridge.h); qemu-img,
// which commits, takes one.
DiskStatus OpenByFooter(Disk* disk, const ImageInfo& info, uint64_t needed) {
  ImageInfo by_footer;
  const char kFooter[] = "current_size";
  if (info.format != "vpc" || needed <= info.virtual_size ||
      ReadImageInfo(disk->path,
                    std::string("driver=vpc,force_size_calc=") + kFooter + ",",
                    &by_footer) != kInfoRead ||
      by_footer.virtual_size < needed) {
    return kDiskUnusable;
  }
  CloseRawView(&disk->view);
  JournalFor(disk->path, disk->image_fd, info.format, kFooter, &disk->journal);
  std::string why;
  disk->chain.assign(1, Layer());
  if (!OpenLayer(&kVhdFormat, disk->image_fd, disk->path, &disk->chain[0],
                 &why)) {
    return Refuse(disk, kDiskUnusable, "the image " + why);
  }
  DiskStatus opened = BridgeImage(disk, 0, info.virtual_size);
  if (opened != kDiskOpen) return opened;
  return OpenReadView(disk, by_footer.virtual_size);
}

// A format QEMU reads and writes in place, read here directly where it is
// raw, else through a view. Changes go through a journal; where no view
// can be opened, a raw image is changed directly.
DiskStatus OpenByQemu(Disk* disk) {
  ImageInfo info;
  // A file whose bytes prove it raw needs no qemu-img to say so.
  InfoResult read;
  if (!FindProgram("qemu-img").empty() &&
      QemuSeesRaw(disk->image_fd, disk->path, &info.virtual_size)) {
    info.format = "raw";
    read = kInfoRead;
  } else {
    read = ReadImageInfo(disk->path, "", &info);
  }
  if (read == kInfoNoQemuImg) return OpenWithoutQemu(disk);
  if (read != kInfoRead) {
    return Refuse(disk, kDiskUnusable, "qemu-img cannot read the image");
  }
  if (!Writable(info)) {
    return Refuse(disk, kDiskUnusable,
                  "QEMU cannot write this " + info.format + " image in place");
  }
  JournalFor(disk->path, disk->image_fd, info.format, "", &disk->journal);
  DiskStatus settled = Settle(disk);
  if (settled != kDiskOpen) return settled;
  disk->size = info.virtual_size;
  if (info.format == "raw") return ReadPlain(disk, 0, UINT64_MAX);
  // A fixed VDI, which QEMU reads as the program does where its blocks
  // carry no extra bytes.
  Layer vdi;
  std::string why;
  uint64_t at = 0;
  if (info.format == "vdi" &&
      OpenLayer(&kVdiFormat, disk->image_fd, disk->path, &vdi, &why) &&
      vdi.bitmap == 0 && vdi.size == info.virtual_size && PlainAt(vdi, &at)) {
    return ReadPlain(disk, at, vdi.size);
  }
  std::string no_view = WhyNoView();
  if (!no_view.empty()) return Refuse(disk, kDiskNoHelper, no_view);
  uint64_t needed = 0;
  DiskStatus opened = OpenReadView(disk, info.virtual_size, &needed);
  if (opened != kDiskUnusable) return opened;
  return OpenByFooter(disk, info, needed);
}

// An image another process uses is left alone; else it is locked here for
// the whole run. A disk others are built on is never written (children.h).
// What it names is checked before any QEMU tool opens it (names.h); a
// format of the program's own names its parents in its own way (chain.h).
DiskStatus Open(Disk* disk) {
  int mode = disk->read_only ? O_RDONLY : O_RDWR;
  disk->image_fd =
      open(disk->path.c_str(), mode | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
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
  std::string why;
  switch (FindChildren(disk->path, disk->image_fd, &why)) {
    case kNoChildren:
      break;
    case kChildFound:
      return Refuse(disk, kDiskUnusable, why);
    case kBochsLock:
      return Refuse(disk, kDiskInUse, why);
  }
  std::string saved = SavedVboxUsing(FolderOf(disk->path), st);
  if (!saved.empty()) {
    return Refuse(disk, kDiskInUse,
                  "in use by a saved VirtualBox machine (" + saved +
                      "); discard its saved state or start and shut it down "
                      "first");
  }
  why = UnsupportedChild(disk->image_fd);
  if (!why.empty()) return Refuse(disk, kDiskUnusable, why);
  const LayerFormat* own = ClaimingFormat(disk->image_fd, disk->path);
  switch (own ? kNamesSafe
              : CheckImageNames(disk->path, disk->image_fd, &why)) {
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
  return own ? OpenOwn(disk, own) : OpenByQemu(disk);
}

}  // namespace

DiskStatus OpenDisk(const char* location, bool read_only, Disk* disk) {
  CloseDisk(disk, false);
  disk->read_only = read_only;
  disk->why.clear();
  // Absolute, since the helpers start in the image's folder.
  disk->path = location;
  if (disk->path.empty() || disk->path[0] != '/') {
    char* cwd = getcwd(nullptr, 0);
    disk->path = std::string(cwd ? cwd : ".") + "/" + disk->path;
    free(cwd);
  }
  MachineDisk machine;
  DiskStatus status = kDiskOpen;
  switch (ReadMachineFile(disk->path, &machine)) {
    case kNoMachineFile:
      break;
    case kMachineDisk:
      disk->took = machine.kind + "'s drive C is " + machine.disk;
      disk->path = machine.disk;
      disk->parents = machine.parents;
      break;
    case kMachineNoDisk:
      status = Refuse(disk, kDiskMissing, machine.why);
      break;
    case kMachineSaved:
      status = Refuse(disk, kDiskInUse, machine.why);
      break;
    case kMachineRefused:
      status = Refuse(disk, kDiskUnusable, machine.why);
      break;
  }
  disk->sound_agrees = machine.sound_agrees;
  disk->sound_differs = machine.sound_differs;
  if (status == kDiskOpen) {
    status = Open(disk);
    // A refusal of the disk a machine file led to names that disk.
    if (status == kDiskInUse && disk->why.empty()) {
      disk->why = "in use by another process; try again later";
    }
    if (status != kDiskOpen && !disk->took.empty() && !disk->why.empty()) {
      disk->why = "its drive C " + machine.disk + ": " + disk->why;
    }
  }
  if (status != kDiskOpen) {
    std::string why = disk->why, took = disk->took;
    std::string agrees = disk->sound_agrees, differs = disk->sound_differs;
    CloseDisk(disk, false);
    disk->why = why;
    disk->took = took;
    disk->sound_agrees = agrees;
    disk->sound_differs = differs;
  }
  return status;
}

DiskStatus WriteDisk(Disk* disk) {
  if (disk->writing) return kDiskOpen;
  if (disk->read_only) return Refuse(disk, kDiskUnusable, "opened to be read");
  // A raw image no view can show is changed directly.
  if (disk->unjournaled ||
      (disk->journal.format == "raw" && !WhyNoView().empty())) {
    disk->writing = true;
    return kDiskOpen;
  }
  if (!MakeJournalFile(disk->journal)) {
    return Refuse(disk, kDiskNoJournal,
                  "cannot make the journal beside the image");
  }
  // The daemon that shows the image alone gains the journal; a disk mtools
  // reads itself gets one that shows nothing else.
  if ((disk->view.folder.empty() &&
       !OpenRawView(ImageBlockdevs(disk->journal), false,
                    ImageFolder(disk->path), &disk->view, false)) ||
      !BeginJournal(disk->journal, &disk->view, disk->size)) {
    DiscardJournal(disk->journal);
    return Refuse(disk, kDiskNoHelper, kNoView);
  }
  disk->journaled = true;
  disk->journal.image_view = &disk->view;
  SetSpec(disk, disk->view.journal);  // the disk from its start
  disk->writing = true;
  return kDiskOpen;
}

DiskStatus CloseDisk(Disk* disk, bool changed, std::string* why) {
  DiskStatus status = kDiskClosed;
  // Every write through the journal reaches its file; the view of the
  // image alone stays for the commit.
  bool clean = RemoveJournalView(&disk->view);
  if (disk->journaled) {
    // Nothing past an interrupt or a daemon that died is ever committed.
    if (!changed || !clean || InterruptSignal()) {
      DiscardJournal(disk->journal);
      if (changed && !clean) status = kDiskDropped;
    } else {
      std::string refused;
      CommitResult committed = CommitJournal(disk->journal, &refused);
      if (committed == kCommitWaits) status = kDiskNotStored;
      if (committed == kCommitDropped) status = kDiskDropped;
      if (committed == kCommitRefused) {
        status = kDiskUnusable;
        if (why) *why = refused + "; nothing was changed";
      }
    }
  }
  CloseRawView(&disk->view);
  CloseBridge(&disk->bridge);
  CloseChain(&disk->chain);
  if (disk->image_fd >= 0) close(disk->image_fd);
  bool read_only = disk->read_only;
  *disk = Disk();
  disk->read_only = read_only;
  return status;
}
