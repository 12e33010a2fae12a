#include "diskimage/formats/layer.h"

#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include "helpers/io.h"
#include "stops/steps.h"

const LayerFormat* const* LayerFormats() {
  static const LayerFormat* const kFormats[] = {
      &kVhdFormat, &kVdiFormat, &kRedologFormat, &kSparseFormat, nullptr};
  return kFormats;
}

const LayerFormat* ClaimingFormat(int fd) {
  for (const LayerFormat* const* format = LayerFormats(); *format; ++format) {
    if ((*format)->claims(fd)) return *format;
  }
  return nullptr;
}

bool OpenLayer(const LayerFormat* format, int fd, const std::string& path,
               Layer* layer, std::string* why) {
  *layer = Layer();
  layer->format = format;
  layer->fd = fd;
  layer->path = path;
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
                       const std::map<uint64_t, uint32_t>& entries,
                       bool big_endian) {
  for (const auto& [block, value] : entries) {
    char entry[4];
    for (int i = 0; i < 4; ++i) {
      int shift = 8 * (big_endian ? 3 - i : i);
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
  uint32_t entry = layer.table[block];
  if (entry == kNoBlock) return kBelowLayer;
  if (entry == zero) return kZeros;
  *at = WholeBlockAt(layer, entry) + within;
  return kInLayer;
}

std::map<uint64_t, uint32_t> PlaceWholeBlocks(const Layer& layer,
                                              const LayerChanges& changes,
                                              uint32_t zero) {
  std::set<uint32_t> named(layer.table.begin(), layer.table.end());
  std::vector<uint32_t> unnamed;
  for (uint32_t index = 0; index < layer.allocated; ++index) {
    if (!named.count(index)) unnamed.push_back(index);
  }
  auto next_unnamed = unnamed.begin();
  uint64_t next = layer.allocated;
  std::map<uint64_t, uint32_t> added;
  for (const auto& [block, runs] : changes.blocks) {
    uint32_t entry = layer.table[block];
    if (entry != kNoBlock && entry != zero) continue;
    added[block] = next_unnamed != unnamed.end()
                       ? *next_unnamed++
                       : static_cast<uint32_t>(next++);
  }
  return added;
}

bool WriteWholeBlocks(const Layer& layer, const LayerChanges& changes,
                      const std::map<uint64_t, uint32_t>& added) {
  std::string bytes;
  for (const auto& [block, runs] : changes.blocks) {
    auto place = added.find(block);
    if (place == added.end()) {
      if (!WriteRunsInPlace(layer, changes, block,
                            WholeBlockAt(layer, layer.table[block]))) {
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
  if (layer.cached_block != block) {
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
