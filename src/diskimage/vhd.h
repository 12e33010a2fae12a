// The VHD format (Virtual PC's, kept by 86Box, DOSBox-X and Virtual PC),
// read here for chains of differencing disks: QEMU opens a differencing
// VHD as if it were a dynamic one, ignoring its parent and its sector
// bitmaps, so no QEMU tool is ever given one (bridge.h shows the chain to
// QEMU, vhd_commit.h writes the child).
//
// A VHD ends with a 512-byte footer; a dynamic or differencing one keeps
// a copy of it at its start too, which is read first here, since a commit
// cut short never touches it. Its disk is split into blocks, each absent
// (a table entry of all ones) or stored as a sector bitmap, in whole
// sectors, and then its data. In a differencing disk a sector whose bit is
// set comes from the block, any other from the parent; bits count from the
// most significant bit of each byte. A dynamic disk's block is read whole,
// as QEMU reads it.
#ifndef DOSSETUP_DISKIMAGE_VHD_H_
#define DOSSETUP_DISKIMAGE_VHD_H_

#include <stdint.h>

#include <string>
#include <vector>

enum VhdType {
  kVhdNone = 0,  // not a VHD
  kVhdFixed = 2,
  kVhdDynamic = 3,
  kVhdDifferencing = 4,
};

const uint32_t kVhdSector = 512;
const uint32_t kVhdAbsent = 0xFFFFFFFF;  // a block the disk does not hold

struct Vhd {
  int fd = -1;  // not owned
  VhdType type = kVhdNone;
  std::string footer;     // 512 bytes, as stored
  uint64_t size = 0;      // of the disk, in bytes
  std::string unique_id;  // 16 bytes
  // A dynamic or differencing disk's:
  std::string header;  // 1024 bytes, as stored
  uint64_t table_offset = 0;
  uint32_t block_size = 0;      // in bytes
  uint32_t bitmap_size = 0;     // in bytes, whole sectors
  std::vector<uint32_t> table;  // each block's first sector, or kVhdAbsent
  std::string parent_id;        // 16 bytes
  uint64_t used_end = 0;        // past all the metadata and blocks name
};

// Which kind of VHD `fd` holds, by its footer alone; kVhdNone for none.
VhdType VhdTypeOf(int fd);

// Reads and checks the VHD `fd` holds. False, with the reason in `why`,
// when it holds none this program can read.
bool ReadVhd(int fd, Vhd* vhd, std::string* why);

// The files a differencing disk in `folder` may name as its parent, in the
// order they are tried: its locators (relative, absolute, then a file
// URL; a Windows path with a drive letter cannot be found here), then its
// header's parent name beside it.
std::vector<std::string> VhdParentCandidates(const Vhd& child,
                                             const std::string& folder);

// A chain: [0] the disk the run works on, each next one its parent, the
// last fixed or dynamic.
using VhdChain = std::vector<Vhd>;

// Reads `size` bytes of the disk that `chain` from `level` down composes,
// from `offset`; past the disk's end, zeros. False on a read error.
bool ReadComposed(const VhdChain& chain, size_t level, uint64_t offset,
                  char* out, uint64_t size);

// Marks in `present` (one flag a sector, from sector `first`) every sector
// that `vhd`, a differencing disk, holds itself. False on a read error.
bool MarkPresent(const Vhd& vhd, uint64_t first, std::vector<bool>* present);

#endif  // DOSSETUP_DISKIMAGE_VHD_H_
