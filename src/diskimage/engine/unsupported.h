// Differencing disks of formats this program does not support, told by
// their own headers before any QEMU tool opens them: QEMU refuses a
// differencing VHDX, saying only that it cannot read it.
#ifndef DOSSETUP_DISKIMAGE_ENGINE_UNSUPPORTED_H_
#define DOSSETUP_DISKIMAGE_ENGINE_UNSUPPORTED_H_

#include <string>

// What the image `fd` holds when it is such a disk, in a few words for the
// line that refuses it; empty for any other image.
std::string UnsupportedChild(int fd);

#endif  // DOSSETUP_DISKIMAGE_ENGINE_UNSUPPORTED_H_
