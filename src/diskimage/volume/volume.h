// Where the FAT volume lies in a raw disk: the first primary
// partition of a FAT type (01, 04, 06, 0B, 0C, 0E) when the disk starts
// with an MBR partition table, else the whole disk when it starts with a
// FAT boot sector. Any other disk (not FAT, truncated, no FAT partition)
// holds no volume.
#ifndef DOSSETUP_DISKIMAGE_VOLUME_VOLUME_H_
#define DOSSETUP_DISKIMAGE_VOLUME_VOLUME_H_

#include <stdint.h>

#include <string>

// Where the volume starts in the raw disk held by file `disk` (its
// `length` bytes from byte `start`, or to the file's end), in bytes from
// `start`; false when it holds none. `needed`, if given, receives the end
// of the FAT partition an MBR names, or 0.
bool FindVolume(const std::string& disk, uint64_t* offset,
                uint64_t* needed = nullptr, uint64_t start = 0,
                uint64_t length = UINT64_MAX);

#endif  // DOSSETUP_DISKIMAGE_VOLUME_VOLUME_H_
