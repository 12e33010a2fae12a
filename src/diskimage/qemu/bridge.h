// A chain of the program's own formats (chain.h) shown to QEMU as the
// chain composes it, since QEMU cannot read it: a qcow2 file in the
// scratch folder, unnamed so that it never outlives the run, holds every
// sector the layers above the chain's QEMU bottom hold (a fixed or dynamic
// VHD, say), which QEMU reads itself; where QEMU reads no layer, it holds
// every sector any layer holds. Where QEMU sizes the bottom smaller than
// the chain does (a VHD by its geometry, as Virtual PC's own), the qcow2
// holds what the bottom holds past that too; past the bottom's end the
// disk reads as zeros and is held nowhere, so a top layer larger than its
// base costs nothing for the difference. QEMU writes that qcow2, through a
// view (view.h); only the program's own commit writes the formats
// themselves.
// A chain that needs none of it needs no qcow2. Where QEMU reads no layer,
// the disk is a sparse raw file instead, which mtools can read itself.
#ifndef DOSSETUP_DISKIMAGE_QEMU_BRIDGE_H_
#define DOSSETUP_DISKIMAGE_QEMU_BRIDGE_H_

#include <stdint.h>

#include <string>
#include <vector>

#include "diskimage/formats/chain.h"

struct Bridge {
  int fd = -1;      // the qcow2 or raw file, when there is one
  std::string raw;  // the raw file's path, when it is one
  // Block nodes that show the chain as node "image", read-only.
  std::vector<std::string> nodes;
};

// Builds the bridge of `chain`, whose layer `bottom` QEMU reads (none where
// it is chain.size()), showing `bottom_size` bytes of it, with QEMU's tools
// started for image `image`. False, with nothing left behind, when it
// cannot.
bool OpenBridge(const Chain& chain, size_t bottom, uint64_t bottom_size,
                const std::string& image, Bridge* bridge);
void CloseBridge(Bridge* bridge);

#endif  // DOSSETUP_DISKIMAGE_QEMU_BRIDGE_H_
