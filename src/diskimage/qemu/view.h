// A disk image of any format QEMU reads (raw, dynamic VHD, qcow2, VDI,
// VMDK, VHDX...), seen as a raw disk: qemu-storage-daemon opens a chain of
// block nodes and exports the top one over FUSE, writable, on a file in a
// private folder of this program's. Nothing copies or converts the image.
// The daemon dies with this program; should the program die first, a
// guard process removes the mount point and its folder. QEMU's tools
// themselves are reached through qemu.h.
#ifndef DOSSETUP_DISKIMAGE_QEMU_VIEW_H_
#define DOSSETUP_DISKIMAGE_QEMU_VIEW_H_

#include <stdint.h>
#include <sys/types.h>

#include <string>
#include <vector>

struct RawView {
  pid_t daemon = -1;
  pid_t guard = -1;
  int guard_pipe = -1;  // the guard acts when this closes
  std::string folder;   // the private folder holding the mount point
  std::string disk;     // the raw view, a regular file while it is open
};

// Opens the view of the block node "disk" that `blockdevs` (each a
// --blockdev option) define, writable or not, with the daemon started in
// `folder`; false, with nothing left behind, when it cannot.
bool OpenRawView(const std::vector<std::string>& blockdevs, bool writable,
                 const std::string& folder, RawView* view);
// Stops the daemon cleanly, so that every write has reached its files,
// and removes the mount point and its folder. True when the daemon ended
// by itself with status 0.
bool CloseRawView(RawView* view);

#endif  // DOSSETUP_DISKIMAGE_QEMU_VIEW_H_
