// A disk image of any format QEMU reads (raw, dynamic VHD, qcow2, VDI,
// VMDK, VHDX...), seen as a raw disk: qemu-storage-daemon opens a chain of
// block nodes and exports the top one over FUSE, on a file in a private
// folder of this program's. Nothing copies or converts the image. The same
// daemon can later add a journal over the image and show the disk through
// it, writable, beside the first view (monitor.h), so that a run that
// only comes to write once it has read starts one daemon. The daemon dies
// with this program; should the program die first, a guard process
// removes the mount points and their folder. QEMU's tools themselves are
// reached through tools.h.
#ifndef DOSSETUP_DISKIMAGE_QEMU_VIEW_H_
#define DOSSETUP_DISKIMAGE_QEMU_VIEW_H_

#include <stdint.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "diskimage/qemu/monitor.h"

struct RawView {
  pid_t daemon = -1;
  pid_t guard = -1;
  int guard_pipe = -1;  // the guard acts when this closes
  Monitor monitor;
  std::string folder;   // the private folder holding the mount points
  std::string disk;     // the view of node "disk", where it is shown
  std::string journal;  // the view through a journal, once one is added
};

// Starts the daemon over the block nodes `blockdevs` (each a --blockdev
// option) in `folder` and, unless `show_disk` is false, shows node "disk"
// in view->disk, writable or not; false, with nothing left behind, when
// it cannot.
bool OpenRawView(const std::vector<std::string>& blockdevs, bool writable,
                 const std::string& folder, RawView* view,
                 bool show_disk = true);

// Makes `overlay`, an empty file, a qcow2 journal of `size` bytes over the
// view's node "image", naming `backing` (of `backing_format`) as its
// backing file where that is given, and shows the disk through it,
// writable, in view->journal. Nothing written to it is flushed on the
// way: the caller syncs the journal once it is complete. False when it
// cannot; the view is then to be closed.
bool AddJournalView(RawView* view, const std::string& overlay, uint64_t size,
                    const std::string& backing,
                    const std::string& backing_format);

// Takes the journal's view and nodes away, so that every write has reached
// its file, and leaves the rest open. True when the daemon did so.
bool RemoveJournalView(RawView* view);

// Stops the daemon cleanly, so that every write has reached its files,
// and removes the mount points and their folder. True when the daemon
// ended by itself with status 0.
bool CloseRawView(RawView* view);

#endif  // DOSSETUP_DISKIMAGE_QEMU_VIEW_H_
