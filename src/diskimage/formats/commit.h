// A run's changes written into the top layer of a chain (chain.h), once
// for every format of the program's own: the sectors whose bytes differ
// from what the chain shows are found first, and only they are written,
// by the layer's format in the order it needs (layer.h); no parent is
// ever written, and a block no changed sector touches is never added.
// Writing the same changes again, after a commit cut short anywhere,
// leaves the same disk.
#ifndef DOSSETUP_DISKIMAGE_FORMATS_COMMIT_H_
#define DOSSETUP_DISKIMAGE_FORMATS_COMMIT_H_

#include <string>
#include <vector>

#include "diskimage/formats/bytes.h"
#include "diskimage/formats/chain.h"

// Writes `extents` (sector-aligned, apart) into `chain[0]`, whose
// descriptor is open for writing, reading their bytes from `source`.
// False when a read, a write or a sync failed.
bool CommitIntoChain(Chain* chain, int source,
                     const std::vector<StoredExtent>& extents);

// Whether the changes of `extents` can all be placed in `chain[0]`, as its
// format says (LayerFormat::fits); `why` says how not.
bool ChainTakes(const Chain& chain, int source,
                const std::vector<StoredExtent>& extents, std::string* why);

// Reads the bytes `extent` holds at disk offset `offset` into `out`.
bool ReadExtent(int source, const StoredExtent& extent, uint64_t offset,
                char* out, uint64_t size);

#endif  // DOSSETUP_DISKIMAGE_FORMATS_COMMIT_H_
