#include "diskimage/formats/qcow2_map.h"

#include <algorithm>
#include <string>

#include "diskimage/formats/layer.h"

namespace {

const uint64_t kOffsetMask = 0x00fffffffffffe00;  // L1E_/L2E_OFFSET_MASK
const uint64_t kCompressed = uint64_t{1} << 62;   // QCOW_OFLAG_COMPRESSED
const uint64_t kZero = 1;                         // QCOW_OFLAG_ZERO
const uint64_t kTablePiece = uint64_t{64} << 10;  // L1 bytes read at a time

// Adds `length` bytes at disk offset `offset` to `extents`, joined to the
// last where they touch and are stored alike.
void Add(std::vector<StoredExtent>* extents, uint64_t offset, uint64_t length,
         int64_t stored_at) {
  if (!extents->empty()) {
    StoredExtent& last = extents->back();
    bool touches = last.offset + last.length == offset;
    bool zeros = last.stored_at < 0 && stored_at < 0;
    bool follows = last.stored_at >= 0 && stored_at >= 0 &&
                   static_cast<uint64_t>(last.stored_at) + last.length ==
                       static_cast<uint64_t>(stored_at);
    if (touches && (zeros || follows)) {
      last.length += length;
      return;
    }
  }
  extents->push_back({offset, length, stored_at});
}

}  // namespace

Qcow2Map MapQcow2(int fd, std::vector<StoredExtent>* extents) {
  extents->clear();
  uint64_t file_size = FileSize(fd);
  std::string header(104, '\0');
  if (file_size < 72 || !ReadStored(fd, 0, &header[0], header.size()) ||
      header.compare(0, 4, "QFI\xfb") != 0) {
    return kQcow2Unreadable;
  }
  uint64_t version = BigEndian(header, 4, 4);
  uint64_t cluster_bits = BigEndian(header, 20, 4);
  uint64_t size = BigEndian(header, 24, 8);
  uint64_t l1_size = BigEndian(header, 36, 4);
  uint64_t l1_offset = BigEndian(header, 40, 8);
  if (version < 2 || version > 3 || cluster_bits < 9 || cluster_bits > 21) {
    return kQcow2Unreadable;
  }
  // Encryption, or any incompatible feature (a dirty image, an external
  // data file, another compression, extended L2 entries): QEMU's map.
  if (BigEndian(header, 32, 4) != 0 ||
      (version == 3 && BigEndian(header, 72, 8) != 0)) {
    return kQcow2Other;
  }
  uint64_t cluster = uint64_t{1} << cluster_bits;
  uint64_t per_l2 = cluster / 8;
  uint64_t span = per_l2 * cluster;  // the disk one L2 table covers
  uint64_t needed = size / span + (size % span != 0);
  if (l1_size < needed || l1_offset % cluster != 0 || l1_offset > file_size ||
      needed > (file_size - l1_offset) / 8) {
    return kQcow2Unreadable;
  }
  std::string l1, l2(cluster, '\0');
  for (uint64_t i = 0; i < needed; ++i) {
    uint64_t within = i * 8 % kTablePiece;
    if (within == 0) {
      l1.resize(std::min(kTablePiece, (needed - i) * 8));
      if (!ReadStored(fd, l1_offset + i * 8, &l1[0], l1.size())) {
        return kQcow2Unreadable;
      }
    }
    uint64_t l2_offset = BigEndian(l1, within, 8) & kOffsetMask;
    if (l2_offset == 0) continue;
    if (l2_offset % cluster != 0 || l2_offset > file_size ||
        cluster > file_size - l2_offset ||
        !ReadStored(fd, l2_offset, &l2[0], cluster)) {
      return kQcow2Unreadable;
    }
    for (uint64_t j = 0; j < per_l2 && i * span + j * cluster < size; ++j) {
      uint64_t entry = BigEndian(l2, j * 8, 8);
      uint64_t offset = i * span + j * cluster;
      uint64_t length = std::min(cluster, size - offset);
      uint64_t stored = entry & kOffsetMask;
      if (entry & kCompressed) return kQcow2Other;
      if (entry & kZero) {
        // Version 2 has no zero clusters; QEMU's map says what it makes of
        // the bit.
        if (version == 2) return kQcow2Other;
        Add(extents, offset, length, -1);
      } else if (stored != 0) {
        if (stored % cluster != 0) return kQcow2Unreadable;
        Add(extents, offset, length, static_cast<int64_t>(stored));
      }
    }
  }
  return kQcow2Mapped;
}
