// A disk image of any format QEMU reads (dynamic VHD, qcow2, VDI, VMDK,
// VHDX...), seen as a raw disk: qemu-storage-daemon opens it with that
// format's driver and exports it over FUSE, writable, on a file in a
// private folder of this program's. Nothing copies or converts the image;
// the daemon holds it (with QEMU's own locks) while the view is open, and
// writes every change through to it by the time the view is closed.
#ifndef DOSSETUP_PLATFORM_HOST_VIEW_H_
#define DOSSETUP_PLATFORM_HOST_VIEW_H_

#include <sys/types.h>

#include <string>

// The image's format as `qemu-img info` reports it ("raw", "qcow2",
// "vpc"...); empty when qemu-img is not installed, and "?" when it cannot
// tell.
std::string ImageFormat(const std::string& image);

struct RawView {
  pid_t daemon = -1;
  std::string folder;  // the private folder holding the mount point
  std::string disk;    // the raw view, a regular file while it is open
};

// Opens the view of `image` in `format`; false, with nothing left behind,
// when it cannot (no FUSE, no qemu-storage-daemon, the image in use).
bool OpenRawView(const std::string& image, const std::string& format,
                 RawView* view);
// Stops the daemon cleanly, so that every write has reached the image,
// and removes the mount point and its folder.
void CloseRawView(RawView* view);

#endif  // DOSSETUP_PLATFORM_HOST_VIEW_H_
