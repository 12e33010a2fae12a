// Whether QEMU would open a file as a raw disk, told from its bytes as
// QEMU's own probe tells it (block.c, find_image_format): every format
// driver with a probe scores the file's first 2048 bytes and its name,
// and raw (raw_probe, score 1) is what is left when none claims it. Where
// the bytes prove it, no qemu-img is started to ask.
#ifndef DOSSETUP_DISKIMAGE_QEMU_PROBE_H_
#define DOSSETUP_DISKIMAGE_QEMU_PROBE_H_

#include <stdint.h>

#include <string>

// True when no format QEMU probes for can claim file `path`, open as `fd`:
// it is raw, `size` bytes long. False whenever in doubt (a short or empty
// file, a size not whole sectors, bytes one of the probes might take).
bool QemuSeesRaw(int fd, const std::string& path, uint64_t* size);

#endif  // DOSSETUP_DISKIMAGE_QEMU_PROBE_H_
