// A run's changes written into a differencing VHD in place, as its format
// asks, never into its parents: a sector whose bytes differ from what the
// chain shows is written into its block and its bit set; a block the disk
// does not hold yet is added at the end (bitmap, then data), and only the
// sectors written get their bits, so the parent still shows through the
// rest. Sectors the run left as they were are not written.
//
// The order keeps the disk whole at every moment but for the sectors
// being written: the footer first moves to the new end; then the data goes
// into blocks no table entry or bit reaches yet; synced; then the bits and
// the table entries. Writing the same changes again, after a commit cut
// short anywhere, leaves the same disk: a block added but never entered
// in the table is added again in its place.
#ifndef DOSSETUP_DISKIMAGE_VHD_COMMIT_H_
#define DOSSETUP_DISKIMAGE_VHD_COMMIT_H_

#include <stdint.h>

#include <vector>

#include "diskimage/bytes.h"
#include "diskimage/vhd.h"

// Writes `extents` (sector-aligned, apart) into `chain[0]`, whose
// descriptor is open for writing, reading their bytes from `source`.
// False when a read, a write or a sync failed.
bool WriteIntoChild(const VhdChain& chain, int source,
                    const std::vector<StoredExtent>& extents);

#endif  // DOSSETUP_DISKIMAGE_VHD_COMMIT_H_
