#include "diskimage/vhd_commit.h"

#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>

#include "diskimage/bytes.h"
#include "diskimage/steps.h"
#include "helpers/io.h"

namespace {

const uint64_t kPiece = 1 << 20;  // compared at a time

struct Plan {
  const Vhd* child;
  std::map<uint64_t, uint64_t> added;    // block, where it goes
  std::map<uint64_t, std::string> bits;  // block, the bits the run sets
};

// Where block `block`'s bitmap lies.
uint64_t BlockAt(const Plan& plan, uint64_t block) {
  auto added = plan.added.find(block);
  if (added != plan.added.end()) return added->second;
  return uint64_t{plan.child->table[block]} * kVhdSector;
}

// Gives every block the extents touch that the disk lacks its place past
// everything the disk holds, and moves the footer past them.
bool AddBlocks(const std::vector<StoredExtent>& extents, Plan* plan) {
  const Vhd& child = *plan->child;
  uint64_t end = child.used_end;
  for (const StoredExtent& extent : extents) {
    uint64_t last = std::min(extent.offset + extent.length, child.size);
    for (uint64_t block = extent.offset / child.block_size;
         block * child.block_size < last; ++block) {
      if (child.table[block] != kVhdAbsent || plan->added.count(block)) {
        continue;
      }
      plan->added[block] = end;
      end += child.bitmap_size + child.block_size;
    }
  }
  if (plan->added.empty()) return true;
  return CommitWriteAt(child.fd, child.footer.data(), child.footer.size(),
                       end) &&
         ftruncate(child.fd, static_cast<off_t>(end + child.footer.size())) ==
             0 &&
         fdatasync(child.fd) == 0;
}

// Writes the sectors of `piece` (new bytes `fresh`, the chain's `old`)
// that differ, and notes their bits.
bool WritePiece(uint64_t offset, const std::string& fresh,
                const std::string& old, Plan* plan) {
  const Vhd& child = *plan->child;
  uint64_t block = offset / child.block_size;
  uint64_t first = offset % child.block_size / kVhdSector;
  uint64_t data = BlockAt(*plan, block) + child.bitmap_size;
  std::string& bits = plan->bits[block];
  if (bits.empty()) bits.assign(child.bitmap_size, '\0');
  size_t sectors = fresh.size() / kVhdSector;
  for (size_t i = 0; i < sectors;) {
    if (memcmp(&fresh[i * kVhdSector], &old[i * kVhdSector], kVhdSector) == 0) {
      ++i;
      continue;
    }
    size_t run = i;
    while (run < sectors && memcmp(&fresh[run * kVhdSector],
                                   &old[run * kVhdSector], kVhdSector) != 0) {
      uint64_t sector = first + run;
      bits[sector / 8] =
          static_cast<char>(bits[sector / 8] | 0x80 >> sector % 8);
      ++run;
    }
    if (!CommitWriteAt(child.fd, &fresh[i * kVhdSector], (run - i) * kVhdSector,
                       data + (first + i) * kVhdSector)) {
      return false;
    }
    i = run;
  }
  return true;
}

// Reads the new bytes of `extent` at `offset`.
bool ReadFresh(int source, const StoredExtent& extent, uint64_t offset,
               std::string* fresh) {
  if (extent.stored_at < 0) {
    fresh->assign(fresh->size(), '\0');
    return true;
  }
  size_t size = fresh->size();
  *fresh = ReadAt(
      source, static_cast<uint64_t>(extent.stored_at) + offset - extent.offset,
      size);
  return fresh->size() == size;
}

// The bits: a new block's whole bitmap, synced before its table entry
// names it; an old block's bits added to those it has.
bool SetBits(const Plan& plan) {
  const Vhd& child = *plan.child;
  for (const auto& [block, at] : plan.added) {
    auto bits = plan.bits.find(block);
    if (bits != plan.bits.end() && !CommitWriteAt(child.fd, bits->second.data(),
                                                  bits->second.size(), at)) {
      return false;
    }
  }
  if (fdatasync(child.fd) != 0) return false;
  for (const auto& [block, bits] : plan.bits) {
    uint64_t at = BlockAt(plan, block);
    if (plan.added.count(block)) {
      std::string entry(4, '\0');
      PutBigEndian(&entry, 0, 4, at / kVhdSector);
      if (bits.find_first_not_of('\0') == std::string::npos) continue;
      if (!CommitWriteAt(child.fd, entry.data(), entry.size(),
                         child.table_offset + 4 * block)) {
        return false;
      }
      continue;
    }
    std::string held = ReadAt(child.fd, at, child.bitmap_size);
    if (held.size() != bits.size()) return false;
    for (size_t i = 0; i < held.size(); ++i) held[i] |= bits[i];
    if (!CommitWriteAt(child.fd, held.data(), held.size(), at)) return false;
  }
  return fdatasync(child.fd) == 0;
}

}  // namespace

bool WriteIntoChild(const VhdChain& chain, int source,
                    const std::vector<StoredExtent>& extents) {
  Plan plan;
  plan.child = &chain[0];
  const Vhd& child = chain[0];
  if (!AddBlocks(extents, &plan)) return false;
  for (const StoredExtent& extent : extents) {
    uint64_t end = std::min(extent.offset + extent.length, child.size);
    for (uint64_t offset = extent.offset; offset < end;) {
      uint64_t block_end = (offset / child.block_size + 1) * child.block_size;
      uint64_t size = std::min({end, block_end, offset + kPiece}) - offset;
      std::string fresh(size, '\0');
      std::string old(size, '\0');
      if (!ReadFresh(source, extent, offset, &fresh) ||
          !ReadComposed(chain, 0, offset, &old[0], size) ||
          !WritePiece(offset, fresh, old, &plan)) {
        return false;
      }
      offset += size;
    }
  }
  return fdatasync(child.fd) == 0 && SetBits(plan);
}
