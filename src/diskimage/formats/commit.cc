#include "diskimage/formats/commit.h"

#include <string.h>

#include <algorithm>
#include <string>
#include <utility>

namespace {

const uint64_t kPiece = 1 << 20;  // compared at a time

using Runs = std::vector<std::pair<uint64_t, uint64_t>>;  // first, count

// Adds the sectors of a piece at `offset` whose new bytes `fresh` differ
// from the chain's `old` to `runs`, joining runs that touch.
void NoteChanged(uint64_t offset, const std::string& fresh,
                 const std::string& old, Runs* runs) {
  uint64_t first = offset / kSector;
  for (uint64_t i = 0; i < fresh.size() / kSector; ++i) {
    if (memcmp(&fresh[i * kSector], &old[i * kSector], kSector) == 0) continue;
    if (!runs->empty() &&
        runs->back().first + runs->back().second == first + i) {
      ++runs->back().second;
    } else {
      runs->push_back({first + i, 1});
    }
  }
}

}  // namespace

bool ReadExtent(int source, const StoredExtent& extent, uint64_t offset,
                char* out, uint64_t size) {
  if (extent.stored_at < 0) {
    memset(out, 0, size);
    return true;
  }
  return ReadStored(
      source, static_cast<uint64_t>(extent.stored_at) + offset - extent.offset,
      out, size);
}

namespace {

// The changes `extents` make to what `chain` shows, by the top layer's
// blocks; false on a read error.
bool FindChanges(const Chain& chain, int source,
                 const std::vector<StoredExtent>& extents,
                 LayerChanges* changes) {
  const Layer& top = chain.front();
  Runs runs;
  std::string fresh, old;
  for (const StoredExtent& extent : extents) {
    uint64_t end = std::min(extent.offset + extent.length, top.size);
    for (uint64_t offset = extent.offset; offset < end;) {
      uint64_t size = std::min(end - offset, kPiece);
      fresh.resize(size);
      old.resize(size);
      if (!ReadExtent(source, extent, offset, &fresh[0], size) ||
          !ReadComposed(chain, 0, offset, &old[0], size)) {
        return false;
      }
      NoteChanged(offset, fresh, old, &runs);
      offset += size;
    }
  }
  // By the layer's blocks, a run cut where a block ends.
  uint64_t per_block = top.block / kSector;
  for (auto [first, count] : runs) {
    while (count > 0) {
      uint64_t block = first / per_block;
      uint64_t part = std::min(count, (block + 1) * per_block - first);
      changes->blocks[block].push_back({first, part});
      first += part;
      count -= part;
    }
  }
  return true;
}

}  // namespace

bool ChainTakes(const Chain& chain, int source,
                const std::vector<StoredExtent>& extents, std::string* why) {
  LayerChanges changes;
  const Layer& top = chain.front();
  if (!FindChanges(chain, source, extents, &changes)) {
    *why = "its changes cannot be read";
    return false;
  }
  return !top.format->fits || top.format->fits(top, changes, why);
}

bool CommitIntoChain(Chain* chain, int source,
                     const std::vector<StoredExtent>& extents) {
  Layer& top = chain->front();
  LayerChanges changes;
  if (!FindChanges(*chain, source, extents, &changes)) return false;
  if (changes.blocks.empty()) return true;
  changes.read_new = [&](uint64_t offset, uint64_t size, char* out) {
    if (!ReadComposed(*chain, 0, offset, out, size)) return false;
    for (const StoredExtent& extent : extents) {
      uint64_t from = std::max(offset, extent.offset);
      uint64_t to = std::min(offset + size, extent.offset + extent.length);
      if (from < to &&
          !ReadExtent(source, extent, from, out + (from - offset), to - from)) {
        return false;
      }
    }
    return true;
  };
  return top.format->write(&top, changes);
}
