// Drive C as a FAT volume inside a disk image as PC emulators keep their
// hard disks and floppies, opened through the disk-image engine
// (diskimage/disk.h). Every read, write, copy, delete and listing inside
// the volume goes through mtools; the program holds no FAT code of its
// own. File contents pass through unnamed scratch files.
#ifndef DOSSETUP_PLATFORM_HOST_DRIVE_IMAGE_H_
#define DOSSETUP_PLATFORM_HOST_DRIVE_IMAGE_H_

#include "platform/host/drive/backend.h"

extern const DriveBackend kImageDrive;

#endif  // DOSSETUP_PLATFORM_HOST_DRIVE_IMAGE_H_
