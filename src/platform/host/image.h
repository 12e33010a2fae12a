// Drive C as a FAT volume inside a raw disk image, as PC emulators keep
// their hard disks and floppies. Every read, write, copy, delete and
// listing inside the image goes through Debian's mtools, each started with
// an argument vector (never a shell) and none of the user's mtools
// settings; the program holds no FAT code of its own. The content of a
// file read or written passes through a private scratch file.
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
// image holds no volume that can be drive C.
bool FindImageVolume(const std::string& image, uint64_t* offset);

#endif  // DOSSETUP_PLATFORM_HOST_IMAGE_H_
