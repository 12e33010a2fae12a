// A chain of differencing VHDs (vhd.h) shown to QEMU as the chain
// composes it, since QEMU cannot read one: a qcow2 file in the scratch
// folder, unnamed so that it never outlives the run, holds every sector
// the differencing disks hold, over the chain's last disk (fixed or
// dynamic), which QEMU reads itself. Where QEMU sizes that disk by its
// geometry, smaller than its footer says (as for Virtual PC's own), the
// qcow2 holds the rest of the disk too. QEMU writes that qcow2, through a
// view (view.h); the only format this program writes itself is the VHD's.
// A chain that needs none of it needs no qcow2.
#ifndef DOSSETUP_DISKIMAGE_BRIDGE_H_
#define DOSSETUP_DISKIMAGE_BRIDGE_H_

#include <stdint.h>

#include <string>
#include <vector>

#include "diskimage/vhd.h"

struct Bridge {
  int fd = -1;  // the qcow2, when there is one
  // Block nodes that show the chain as node "image", read-only.
  std::vector<std::string> nodes;
};

// Builds the bridge of `chain`, whose last disk is the file `bottom`, of
// which QEMU shows `bottom_size` bytes, with QEMU's tools started for
// image `image`. False, with nothing left behind, when it cannot.
bool OpenBridge(const VhdChain& chain, const std::string& bottom,
                uint64_t bottom_size, const std::string& image, Bridge* bridge);
void CloseBridge(Bridge* bridge);

#endif  // DOSSETUP_DISKIMAGE_BRIDGE_H_
