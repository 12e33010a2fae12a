// A disk image of any format QEMU reads, opened so that mtools can read
// the FAT volume inside it (volume.h), and change it once the run knows it
// will. Nothing copies or converts it.
//
// The image is held for as long as it is open, and left alone when
// another process uses it (inuse.h). It is opened to be read: mtools reads
// a raw image itself, any other through a view that cannot write (view.h).
// Only the first change makes the journal beside it (journal.h) and a
// view of the image through that journal, committed when the disk is
// closed; where QEMU's tools or FUSE cannot be used, a raw image is
// changed directly, as DOS itself would. So a run that changes nothing
// makes no file beside the image and starts no daemon for a raw one.
// A disk of a format the program reads and writes itself (a differencing
// VHD...) is read through its chain of parents, which are held too and
// never written (chain.h, bridge.h, commit.h).
#ifndef DOSSETUP_DISKIMAGE_ENGINE_DISK_H_
#define DOSSETUP_DISKIMAGE_ENGINE_DISK_H_

#include <stdint.h>

#include <string>
#include <vector>

#include "diskimage/engine/journal.h"
#include "diskimage/formats/chain.h"
#include "diskimage/qemu/bridge.h"
#include "diskimage/qemu/view.h"

enum DiskStatus {
  kDiskOpen,
  kDiskClosed,     // closed, every change stored or none made
  kDiskUnusable,   // no FAT volume, a format not written in place, or an
                   // image that names files it must not (names.h)
  kDiskMissing,    // a file the image names does not exist
  kDiskInUse,      // another process uses the image, or a saved machine
  kDiskNoHelper,   // mtools, QEMU's tools or FUSE missing or unusable
  kDiskNoJournal,  // no journal can be made beside the image
  kDiskNotStored,  // a committed journal waits beside the image
  kDiskDropped,    // the changes were lost before the commit point: the
                   // image is as it was
};

// One open image. `spec` is mtools' -i argument for its volume; `why`
// says in a few words what kept it from opening, or from writing, where
// that is more than its status tells.
struct Disk {
  std::string path;  // the image's, absolute
  std::string took;  // where a machine file led, said as a verbose run says
  // What a machine file says of its sound card (sound.h): a verbose line
  // where it is where the BLASTER line says, else a line for standard
  // error.
  std::string sound_agrees, sound_differs;
  // The parents a machine file names for the image, top down.
  std::vector<std::string> parents;
  std::string spec;
  std::string why;
  bool read_only = false;
  int image_fd = -1;         // held open and locked while the disk is open
  uint64_t offset = 0;       // where the volume starts in the disk
  uint64_t size = 0;         // the disk's, as the journal covers it
  bool direct = false;       // mtools reads the image file itself
  bool unjournaled = false;  // no journal can be used: changed directly
  bool writing = false;      // WriteDisk has readied it
  // A format of the program's own: the image and its parents, top down,
  // the parents held open and locked shared.
  Chain chain;
  Bridge bridge;  // what shows the chain to QEMU
  bool journaled = false;
  Journal journal;
  // The daemon's views: of the image alone, that cannot write, where
  // mtools does not read the image itself; through the journal, once
  // writing.
  RawView view;
};

// Opens the image at `location` into `disk` to be read: in use, then its
// format, then directly or through a view. A machine file (machine.h)
// leads to its drive C. Unless `read_only`, a journal an earlier run left
// is settled first; read-only, a committed journal that waits beside it
// gives kDiskNotStored, since a run would change the image by it first.
// Anything other than kDiskOpen leaves nothing open.
DiskStatus OpenDisk(const char* location, bool read_only, Disk* disk);

// Readies an open disk for its first change, once: the journal and the
// view through it, or nothing where the image is changed directly. `spec`
// may change; the volume it shows is the same. Anything other than
// kDiskOpen says why no change can be made (with `why`); the disk can
// still be closed.
DiskStatus WriteDisk(Disk* disk);

// Closes `disk`, committing its changes when `changed` and no interrupt
// came (interrupts.h), else discarding them. kDiskClosed when the image
// holds every change made (or none was made, or an interrupt dropped
// them); kDiskNotStored when a committed journal waits for the next run;
// kDiskDropped when the view failed or the journal could not be made
// durable, so the changes went and the image is as it was; kDiskUnusable
// when the image's format cannot take them (`why` says how), so they went
// before anything was written.
DiskStatus CloseDisk(Disk* disk, bool changed, std::string* why = nullptr);

#endif  // DOSSETUP_DISKIMAGE_ENGINE_DISK_H_
