// A chain of layers (layer.h): the file the run writes on top, each next
// one its parent, read through down to the last, which has none. Written
// once for every format of the program's own.
//
// Each parent is found where its child's format says its emulator looks,
// checked to be the one the child names before anything follows it, and
// opened read-only: only a regular file is ever opened (a FIFO would wait
// forever, and some devices act when opened), a chain loops nowhere and is
// 16 deep at most.
#ifndef DOSSETUP_DISKIMAGE_FORMATS_CHAIN_H_
#define DOSSETUP_DISKIMAGE_FORMATS_CHAIN_H_

#include <stdint.h>

#include <string>
#include <vector>

#include "diskimage/formats/layer.h"

using Chain = std::vector<Layer>;

enum ChainVerdict {
  kChainOpen,
  kChainRefused,  // a file this program cannot read, or not the one named
  kChainMissing,  // a parent that does not exist
};

// Opens the chain whose top, `fd` at the absolute `path`, `format` claims;
// its parents are `parents` (top down) as far as those go (a machine file
// named them), the rest where their formats say. The parents' descriptors
// are the chain's own (CloseChain); `why` says what is wrong, naming the
// parent at fault.
ChainVerdict OpenChain(const LayerFormat* format, int fd,
                       const std::string& path, Chain* chain, std::string* why,
                       const std::vector<std::string>& parents = {});
// Closes the parents' descriptors; the top's stays its owner's.
void CloseChain(Chain* chain);

// Reads the top layer again, after a commit changed it.
bool RereadTop(Chain* chain, std::string* why);

// Reads `size` bytes of the disk that `chain` from `level` down composes,
// from `offset`; past the disk's end, zeros. False on a read error.
bool ReadComposed(const Chain& chain, size_t level, uint64_t offset, char* out,
                  uint64_t size);

// The first layer QEMU reads alone, the rest of the chain below it being
// nothing it needs; chain.size() where QEMU reads none.
size_t QemuBottom(const Chain& chain);

#endif  // DOSSETUP_DISKIMAGE_FORMATS_CHAIN_H_
