// Drive C as a FAT volume inside a disk image as PC emulators keep their
// hard disks and floppies, in any format QEMU reads. Every read, write,
// copy, delete and listing inside the image goes through Debian's mtools,
// each started with an argument vector (never a shell) and none of the
// user's mtools settings; the program holds no FAT code of its own. File
// contents pass through unnamed scratch files.
//
// The image is locked for the whole run and left alone when another
// process uses it. Where QEMU's tools and FUSE can be used, the run works
// on a view of the image through a journal (journal.h), committed at the
// end; elsewhere a raw image is changed directly, as DOS itself would.
//
// The volume is the first primary partition of a FAT type (01, 04, 06,
// 0B, 0C, 0E) when the image starts with an MBR partition table, else the
// whole image when it starts with a FAT boot sector. Any other image (not
// FAT, truncated, no FAT partition) cannot hold drive C.
#ifndef DOSSETUP_PLATFORM_HOST_IMAGE_H_
#define DOSSETUP_PLATFORM_HOST_IMAGE_H_

#include <stdint.h>

#include <string>

#include "platform/host/drive.h"

extern const DriveBackend kImageDrive;

// Where drive C's volume starts in the image, in bytes; false when the
// image holds no volume that can be drive C. `needed`, if given, receives
// the end of the FAT partition an MBR names, or 0.
bool FindImageVolume(const std::string& image, uint64_t* offset,
                     uint64_t* needed = nullptr);

#endif  // DOSSETUP_PLATFORM_HOST_IMAGE_H_
