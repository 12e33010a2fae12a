#include "diskimage/formats/layer.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

#include "diskimage/formats/bytes.h"
#include "helpers/io.h"
#include "stops/steps.h"

const LayerFormat* const* LayerFormats() {
  static const LayerFormat* const kFormats[] = {
      &kVhdFormat, &kVdiFormat, &kRedologFormat, &kSparseFormat,
      &kHdiFormat, &kHdxFormat, nullptr};
  return kFormats;
}

const LayerFormat* ClaimingFormat(int fd, const std::string& path) {
  for (const LayerFormat* const* format = LayerFormats(); *format; ++format) {
    if ((*format)->claims(fd, path)) return *format;
  }
  return nullptr;
}

namespace {

const uint64_t kChunkEntries = 16 << 10;  // 64 KiB of a table at a time

uint32_t EntryIn(const Layer& layer, const std::string& bytes, size_t at) {
  return static_cast<uint32_t>(layer.big_endian ? BigEndian(bytes, at, 4)
                                                : LittleEndian(bytes, at, 4));
}

}  // namespace

bool TableEntry(const Layer& layer, uint64_t index, uint32_t* entry) {
  uint64_t chunk = index / kChunkEntries;
  if (index >= layer.entries) return false;
  if (layer.cached_chunk != chunk) {
    uint64_t first = chunk * kChunkEntries;
    uint64_t count = std::min(kChunkEntries, layer.entries - first);
    layer.cached_entries =
        ReadAt(layer.fd, layer.table_at + 4 * first, 4 * count);
    layer.cached_chunk =
        layer.cached_entries.size() == 4 * count ? chunk : UINT64_MAX;
  }
  if (layer.cached_chunk != chunk) return false;
  *entry = EntryIn(layer, layer.cached_entries, 4 * (index % kChunkEntries));
  return true;
}

bool ForEachEntry(
    const Layer& layer,
    const std::function<bool(uint64_t index, uint32_t entry)>& each) {
  std::string bytes;
  for (uint64_t first = 0; first < layer.entries; first += kChunkEntries) {
    uint64_t count = std::min(kChunkEntries, layer.entries - first);
    bytes = ReadAt(layer.fd, layer.table_at + 4 * first, 4 * count);
    if (bytes.size() != 4 * count) return false;
    for (uint64_t i = 0; i < count; ++i) {
      if (!each(first + i, EntryIn(layer, bytes, 4 * i))) return false;
    }
  }
  return true;
}

// `path` is taken by value: it may be the layer's own, cleared here.
bool OpenLayer(const LayerFormat* format, int fd, std::string path,
               Layer* layer, std::string* why) {
  *layer = Layer();
  layer->format = format;
  layer->fd = fd;
  layer->path = std::move(path);
  return format->open(layer, why);
}

bool LayerWriteAt(int fd, const char* data, size_t size, uint64_t at) {
  bool stop = false;
  size_t allowed = StepCutWrite(at, size, &stop);
  bool written = WriteAll(fd, data, allowed, static_cast<int64_t>(at));
  if (stop) {
    StepStopNow();
    return false;
  }
  return written;
}

bool WriteRunsInPlace(const Layer& layer, const LayerChanges& changes,
                      uint64_t block, uint64_t data) {
  auto runs = changes.blocks.find(block);
  if (runs == changes.blocks.end()) return true;
  std::string bytes;
  for (const auto& [first, count] : runs->second) {
    bytes.resize(count * kSector);
    uint64_t within = first * kSector - block * layer.block;
    if (!changes.read_new(first * kSector, bytes.size(), &bytes[0]) ||
        !LayerWriteAt(layer.fd, bytes.data(), bytes.size(), data + within)) {
      return false;
    }
  }
  return true;
}

bool WriteTableEntries(const Layer& layer,
                       const std::map<uint64_t, uint32_t>& entries) {
  layer.cached_chunk = UINT64_MAX;
  layer.hole_to = 0;  // the commit wrote where holes may have been
  for (const auto& [block, value] : entries) {
    char entry[4];
    for (int i = 0; i < 4; ++i) {
      int shift = 8 * (layer.big_endian ? 3 - i : i);
      entry[i] = static_cast<char>(value >> shift & 0xFF);
    }
    if (!LayerWriteAt(layer.fd, entry, sizeof entry,
                      layer.table_at + 4 * block)) {
      return false;
    }
  }
  return fdatasync(layer.fd) == 0;
}

bool IdNamesParent(const Layer& child, const Layer& parent, const char* id_name,
                   std::string* why) {
  if (parent.id == child.parent_id) return true;
  *why = std::string("is not the parent the image names: its ") + id_name +
         " differs";
  return false;
}

namespace {

uint64_t WholeBlockAt(const Layer& layer, uint32_t index) {
  return layer.data_at + uint64_t{index} * (layer.bitmap + layer.block) +
         layer.bitmap;
}

}  // namespace

LayerSource FindWholeBlock(const Layer& layer, uint32_t zero, uint64_t offset,
                           uint64_t* run, uint64_t* at) {
  uint64_t block = offset / layer.block;
  uint64_t within = offset % layer.block;
  *run = std::min(layer.block - within, layer.size - offset);
  uint32_t entry;
  if (!TableEntry(layer, block, &entry)) return kUnreadable;
  if (entry == kNoBlock) return kBelowLayer;
  if (entry == zero) return kZeros;
  *at = WholeBlockAt(layer, entry) + within;
  return kInLayer;
}

bool PlaceWholeBlocks(const Layer& layer, const LayerChanges& changes,
                      uint32_t zero, std::map<uint64_t, uint32_t>* added) {
  // At most `entries` stored blocks are named, so the blocks the changes
  // need are found among the first `entries` + their count: only those are
  // marked, however many a file's length (holes) says it stores.
  std::vector<bool> named(
      std::min(layer.allocated, layer.entries + changes.blocks.size()), false);
  if (!ForEachEntry(layer, [&](uint64_t, uint32_t entry) {
        if (entry < named.size()) named[entry] = true;
        return true;
      })) {
    return false;
  }
  uint64_t next_unnamed = 0;
  uint64_t next = layer.allocated;
  added->clear();
  for (const auto& [block, runs] : changes.blocks) {
    uint32_t entry;
    if (!TableEntry(layer, block, &entry)) return false;
    if (entry != kNoBlock && entry != zero) continue;
    while (next_unnamed < named.size() && named[next_unnamed]) ++next_unnamed;
    (*added)[block] = static_cast<uint32_t>(
        next_unnamed < named.size() ? next_unnamed++ : next++);
  }
  return true;
}

bool CheckWholeBlocks(const Layer& layer, uint32_t free_a, uint32_t free_b,
                      uint64_t counted, uint64_t held,
                      const char* const texts[3], std::string* why) {
  std::vector<bool> used(std::min({counted, held, kMostStored}), false);
  const char* fault = nullptr;
  bool read = ForEachEntry(layer, [&](uint64_t, uint32_t entry) {
    if (entry == free_a || entry == free_b) return true;
    if (entry >= counted) {
      fault = texts[0];
    } else if (entry >= used.size()) {
      fault = texts[1];
    } else if (used[entry]) {
      fault = texts[2];
    } else {
      used[entry] = true;
    }
    return fault == nullptr;
  });
  if (fault) {
    *why = fault;
  } else if (!read) {
    *why = "holds a table that cannot be read whole";
  }
  return read;
}

bool WriteWholeBlocks(const Layer& layer, const LayerChanges& changes,
                      const std::map<uint64_t, uint32_t>& added) {
  std::string bytes;
  for (const auto& [block, runs] : changes.blocks) {
    auto place = added.find(block);
    if (place == added.end()) {
      uint32_t entry;
      if (!TableEntry(layer, block, &entry) ||
          !WriteRunsInPlace(layer, changes, block,
                            WholeBlockAt(layer, entry))) {
        return false;
      }
      continue;
    }
    // The extra bytes before the data, zeros, with it.
    bytes.assign(layer.bitmap + layer.block, '\0');
    uint64_t start = block * layer.block;
    uint64_t length = std::min(layer.block, layer.size - start);
    if (!changes.read_new(start, length, &bytes[layer.bitmap]) ||
        !LayerWriteAt(layer.fd, bytes.data(), bytes.size(),
                      WholeBlockAt(layer, place->second) - layer.bitmap)) {
      return false;
    }
  }
  return true;
}

const std::string* BlockBitmap(const Layer& layer, uint64_t block, uint64_t at,
                               uint64_t size) {
  if (layer.cached_block != block && StoredHole(layer, at, size)) {
    layer.cached_bitmap.assign(size, '\0');
    layer.cached_block = block;
  } else if (layer.cached_block != block) {
    layer.cached_bitmap = ReadAt(layer.fd, at, size);
    layer.cached_block =
        layer.cached_bitmap.size() == size ? block : UINT64_MAX;
  }
  return layer.cached_block == block ? &layer.cached_bitmap : nullptr;
}

uint64_t BitRun(const std::string& bitmap, uint64_t first, uint64_t end,
                bool lsb_first, bool* own) {
  auto bit = [&](uint64_t sector) {
    unsigned byte = static_cast<unsigned char>(bitmap[sector / 8]);
    return ((lsb_first ? byte >> sector % 8 : byte << sector % 8 >> 7) & 1) !=
           0;
  };
  *own = bit(first);
  uint64_t sector = first;
  while (sector < end && bit(sector) == *own) ++sector;
  return sector;
}

bool StoredHole(const Layer& layer, uint64_t at, uint64_t size) {
  bool hole = at >= layer.hole_from && at < layer.hole_to;
  if (!hole && (at < layer.data_from || at >= layer.data_to)) {
    off_t data = lseek(layer.fd, static_cast<off_t>(at), SEEK_DATA);
    if (data < 0 && errno != ENXIO) return false;  // cannot tell: data
    hole = data < 0 || static_cast<uint64_t>(data) > at;
    if (hole) {
      layer.hole_from = at;
      layer.hole_to = data < 0 ? UINT64_MAX : static_cast<uint64_t>(data);
    } else {
      off_t end = lseek(layer.fd, static_cast<off_t>(at), SEEK_HOLE);
      layer.data_from = at;
      layer.data_to = end < 0 ? at : static_cast<uint64_t>(end);
    }
  }
  return hole && size <= layer.hole_to - at;
}

bool ReadStored(int fd, uint64_t at, char* out, uint64_t size) {
  while (size > 0) {
    ssize_t count = pread(fd, out, size, static_cast<off_t>(at));
    if (count < 0) return false;
    if (count == 0) {
      memset(out, 0, size);
      return true;
    }
    out += count;
    at += static_cast<uint64_t>(count);
    size -= static_cast<uint64_t>(count);
  }
  return true;
}

uint64_t FileSize(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

uint64_t RoundToSector(uint64_t bytes) {
  return (bytes + kSector - 1) / kSector * kSector;
}
