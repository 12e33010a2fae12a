// Whether another process uses a disk image, and holding one while this
// program works on it, so that no emulator changes it underneath.
//
// Two signs of use: a byte-range lock on any byte of the file (QEMU locks
// its images so, with open-file-description locks), and the file held
// open for writing (86Box, PCem, DOSBox-X and Bochs keep their disks open
// without a lock). Open files are seen through /proc: a process whose
// open files this user may not look at is not seen.
#ifndef DOSSETUP_DISKIMAGE_ENGINE_INUSE_H_
#define DOSSETUP_DISKIMAGE_ENGINE_INUSE_H_

// True when another open file of the image (descriptor `fd`) holds a lock.
bool ImageLockedElsewhere(int fd);
// True when a process other than this one has the image open for writing.
bool ImageOpenForWritingElsewhere(int fd);
// Takes a lock over the whole image for as long as `fd` stays open, which
// a QEMU started meanwhile respects; false when another lock is already
// there. An exclusive lock needs `fd` open for writing; a `shared` one,
// for a run that only reads, lets other readers hold theirs.
bool HoldImage(int fd, bool shared);

#endif  // DOSSETUP_DISKIMAGE_ENGINE_INUSE_H_
