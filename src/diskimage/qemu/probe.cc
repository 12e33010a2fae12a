#include "diskimage/qemu/probe.h"

#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const size_t kProbeBytes = 2048;  // BLOCK_PROBE_BUF_SIZE

// The magic numbers at the start of a file that QEMU's probes look for.
// Each takes a few bytes more into account; the magic alone is enough to
// leave the file to qemu-img.
const char* const kMagics[] = {
    "QFI\xfb",                 // qcow_probe, qcow2_probe
    "QED",                     // qed_probe ("QED\0")
    "conectix",                // vpc_probe
    "vhdxfile",                // vhdx_probe
    "KDMV",                    // vmdk_probe, VMDK4_MAGIC
    "COWD",                    // vmdk_probe, VMDK3_MAGIC
    "WithoutFreeSpace",        // parallels_probe
    "WithouFreSpacExt",        // parallels_probe
    "LUKS\xba\xbe",            // block_crypto_probe_luks
    "Bochs Virtual HD Image",  // bochs_probe
};

}  // namespace

bool QemuSeesRaw(int fd, const std::string& path, uint64_t* size) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      st.st_size < static_cast<off_t>(kProbeBytes) || st.st_size % 512 != 0) {
    return false;
  }
  // dmg_probe claims a file by its name alone.
  if (path.size() >= 4 && path.compare(path.size() - 4, 4, ".dmg") == 0) {
    return false;
  }
  unsigned char head[kProbeBytes];
  if (pread(fd, head, sizeof head, 0) != static_cast<ssize_t>(sizeof head)) {
    return false;
  }
  for (const char* magic : kMagics) {
    if (memcmp(head, magic, strlen(magic)) == 0) return false;
  }
  // vdi_probe: the signature 0xbeda107f after the 64-byte text.
  static const unsigned char kVdi[] = {0x7f, 0x10, 0xda, 0xbe};
  if (memcmp(head + 64, kVdi, sizeof kVdi) == 0) return false;
  // vmdk_probe reads a text descriptor: comment lines and blank lines, then
  // "version=N"; cloop_probe a shell script ("#!/bin/sh").
  if (head[0] == '#' || head[0] == ' ' || head[0] == 'v') return false;
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}
