// Bochs' redolog, a format of the program's own (layer.h): a growing disk
// (subtype "Growing", which QEMU reads but cannot write) and the changes
// file of an undoable disk (subtype "Undoable", over a flat base Bochs only
// reads, which QEMU cannot read at all). A volatile one Bochs deletes
// itself, and is never written.
//
// A 512-byte header (magic, type "Redolog", subtype, version 2 or 1, the
// header's size, catalog entries, bitmap and extent sizes, in version 2 a
// timestamp, then the disk's size), a catalog of one 32-bit entry an
// extent (all ones: not allocated), then the extent slots, each its bitmap
// and then its data, in whole sectors. Bitmap bits count from the least
// significant bit of each byte; a sector whose bit is clear reads from the
// base, or as zeros in a growing disk. A new extent goes to the slot past
// the largest the catalog names.
//
// Also the flat base of an undoable disk, read as it stands.
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include "diskimage/formats/bytes.h"
#include "diskimage/formats/layer.h"
#include "helpers/io.h"

namespace {

const char kMagic[] = "Bochs Virtual HD Image";
const uint64_t kHeaderSize = 512;
const uint32_t kAbsent = 0xFFFFFFFF;
const uint64_t kMostExtents = 1u << 22;
const uint64_t kLargestExtent = 8u << 20;  // QEMU's bound too
const char kRedologSuffix[] = ".redolog";

bool Fail(std::string* why, const char* reason) {
  *why = reason;
  return false;
}

// The header's text field of 16 bytes at `at`, up to its NUL.
std::string Field(const std::string& header, size_t at) {
  std::string text = header.substr(at, 16);
  return text.substr(0, text.find('\0'));
}

bool IsRedolog(const std::string& header) {
  return header.size() == kHeaderSize &&
         header.compare(0, sizeof kMagic, kMagic, sizeof kMagic) == 0 &&
         Field(header, 32) == "Redolog";
}

bool Claims(int fd) {
  return IsRedolog(ReadAt(fd, 0, kHeaderSize));
}

uint64_t SectorsOf(uint64_t bytes) {
  return (bytes + kSector - 1) / kSector;
}

// Reads and bounds the header and the catalog. The fields the layer keeps:
// `bitmap` the bitmap's bytes as the header gives them, `block` the
// extent's; `data_at` where slot 0 lies; `allocated` the slot a new extent
// takes (past the largest named).
bool Open(Layer* layer, std::string* why) {
  layer->header = ReadAt(layer->fd, 0, kHeaderSize);
  const std::string& header = layer->header;
  if (!IsRedolog(header)) return Fail(why, "holds no Bochs redolog header");
  std::string subtype = Field(header, 48);
  uint64_t version = LittleEndian(header, 64, 4);
  if (subtype == "Volatile") {
    return Fail(why, "is a volatile Bochs redolog, which Bochs deletes itself");
  }
  if ((subtype != "Growing" && subtype != "Undoable") ||
      (version != 0x00020000 && version != 0x00010000) ||
      LittleEndian(header, 68, 4) != kHeaderSize) {
    return Fail(why, "is a Bochs redolog of a kind this program cannot read");
  }
  uint64_t entries = LittleEndian(header, 72, 4);
  layer->bitmap = LittleEndian(header, 76, 4);
  layer->block = LittleEndian(header, 80, 4);
  layer->size = LittleEndian(header, version == 0x00020000 ? 88 : 84, 8) /
                kSector * kSector;
  if (entries == 0 || entries > kMostExtents || layer->block < kSector ||
      layer->block > kLargestExtent || layer->block % kSector != 0 ||
      layer->bitmap == 0 || layer->bitmap * 8 < layer->block / kSector ||
      layer->bitmap > layer->block || layer->size == 0 ||
      entries * layer->block < layer->size) {
    return Fail(why,
                "holds a Bochs redolog header whose sizes do not hold "
                "together");
  }
  layer->table_at = kHeaderSize;
  layer->data_at = kHeaderSize + 4 * entries;
  std::string catalog = ReadAt(layer->fd, layer->table_at, 4 * entries);
  if (catalog.size() != 4 * entries) {
    return Fail(why, "holds a Bochs redolog catalog past its end");
  }
  uint64_t slot =
      (SectorsOf(layer->bitmap) + SectorsOf(layer->block)) * kSector;
  uint64_t file_size = FileSize(layer->fd);
  std::set<uint32_t> used;
  layer->table.resize(entries);
  for (uint64_t i = 0; i < entries; ++i) {
    uint32_t entry = static_cast<uint32_t>(LittleEndian(catalog, 4 * i, 4));
    layer->table[i] = entry;
    if (entry == kAbsent) continue;
    if (i * layer->block >= layer->size) {
      return Fail(why, "holds a Bochs redolog extent past the end of its disk");
    }
    if (!used.insert(entry).second) {
      return Fail(why, "holds a Bochs redolog extent two entries name");
    }
    if (layer->data_at + (uint64_t{entry} + 1) * slot > file_size) {
      return Fail(why, "holds a Bochs redolog extent past the end of the file");
    }
    layer->allocated = std::max<uint64_t>(layer->allocated, entry + 1);
  }
  // QEMU's driver reads a growing disk too, but a bitmap byte at a time:
  // the bridge holds what it holds, read here, far faster.
  layer->has_parent = subtype == "Undoable";
  return true;
}

uint64_t SlotAt(const Layer& layer, uint32_t entry) {
  return layer.data_at +
         uint64_t{entry} * (SectorsOf(layer.bitmap) + SectorsOf(layer.block)) *
             kSector;
}

// An undoable disk's base is the file its name ends with ".redolog" after,
// unless the machine's bochsrc names it (machine.h).
ParentPlaces Places(const Layer& child) {
  ParentPlaces places;
  size_t length = strlen(kRedologSuffix);
  const std::string& path = child.path;
  if (path.size() > length &&
      path.compare(path.size() - length, length, kRedologSuffix) == 0) {
    places.decisive.push_back(path.substr(0, path.size() - length));
  } else {
    places.unnamed =
        "names no base: its name does not end in .redolog; name the bochsrc "
        "that gives it as its journal";
  }
  return places;
}

// The modification time of `fd` as Bochs stamps a redolog with its base's:
// a FAT date and time in local time.
uint32_t FatTime(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return 0;
  struct tm t;
  time_t when = st.st_mtime;
  localtime_r(&when, &t);
  uint32_t time_part =
      static_cast<uint32_t>(t.tm_sec / 2 | t.tm_min << 5 | t.tm_hour << 11);
  uint32_t date_part = static_cast<uint32_t>(t.tm_mday | (t.tm_mon + 1) << 5 |
                                             (t.tm_year - 80) << 9);
  return time_part | date_part << 16;
}

// Bochs stops unless the base holds a disk of the redolog's size and, where
// the redolog is stamped, was last changed when it says.
bool IsParent(const Layer& child, const Layer& parent, std::string* why) {
  if (parent.size != child.size) {
    *why = "is not the base the redolog was made over: its size differs";
    return false;
  }
  bool stamped = LittleEndian(child.header, 64, 4) == 0x00020000 &&
                 LittleEndian(child.header, 84, 4) != 0;
  if (stamped && LittleEndian(child.header, 84, 4) != FatTime(parent.fd)) {
    *why =
        "has changed since the redolog was made over it (its time "
        "differs from the one the redolog holds)";
    return false;
  }
  return true;
}

LayerSource Find(const Layer& layer, uint64_t offset, uint64_t* run,
                 uint64_t* at) {
  uint64_t extent = offset / layer.block;
  uint64_t within = offset % layer.block;
  *run = std::min(layer.block - within, layer.size - offset);
  uint32_t entry = layer.table[extent];
  if (entry == kAbsent) return kBelowLayer;
  const std::string* bitmap =
      BlockBitmap(layer, extent, SlotAt(layer, entry), layer.bitmap);
  if (!bitmap) return kUnreadable;
  uint64_t first = within / kSector;
  bool own;
  uint64_t past = BitRun(*bitmap, first, first + SectorsOf(*run), true, &own);
  *run = std::min(*run, (past - first) * kSector);
  *at = SlotAt(layer, entry) + SectorsOf(layer.bitmap) * kSector + within;
  return own ? kInLayer : kBelowLayer;
}

void SetBit(std::string* bitmap, uint64_t sector) {
  (*bitmap)[sector / 8] =
      static_cast<char>((*bitmap)[sector / 8] | 1 << sector % 8);
}

// A commit, in the order that loses nothing: a new extent's slot zeroed
// (bitmap and data), the changed sectors' data, synced; then the bitmaps,
// synced; then the catalog entries, synced. A slot written but never
// entered is the next one's again.
bool Write(Layer* layer, const LayerChanges& changes) {
  int fd = layer->fd;
  uint64_t bitmap_bytes = SectorsOf(layer->bitmap) * kSector;
  uint64_t next = layer->allocated;
  std::map<uint64_t, uint32_t> slots;
  for (const auto& [extent, runs] : changes.blocks) {
    uint32_t entry = layer->table[extent];
    if (entry == kAbsent) {
      if (next >= layer->table.size()) return false;  // the catalog is full
      entry = static_cast<uint32_t>(next++);
      std::string zeros(bitmap_bytes + SectorsOf(layer->block) * kSector, '\0');
      if (!LayerWriteAt(fd, zeros.data(), zeros.size(),
                        SlotAt(*layer, entry))) {
        return false;
      }
    }
    slots[extent] = entry;
    if (!WriteRunsInPlace(*layer, changes, extent,
                          SlotAt(*layer, entry) + bitmap_bytes)) {
      return false;
    }
  }
  if (fdatasync(fd) != 0) return false;
  for (const auto& [extent, runs] : changes.blocks) {
    uint32_t entry = slots[extent];
    std::string bitmap = ReadAt(fd, SlotAt(*layer, entry), layer->bitmap);
    if (bitmap.size() != layer->bitmap) return false;
    for (const auto& [first, count] : runs) {
      for (uint64_t s = first; s < first + count; ++s) {
        SetBit(&bitmap, s - extent * layer->block / kSector);
      }
    }
    if (!LayerWriteAt(fd, bitmap.data(), bitmap.size(),
                      SlotAt(*layer, entry))) {
      return false;
    }
  }
  if (fdatasync(fd) != 0) return false;
  std::map<uint64_t, uint32_t> entries;
  for (const auto& [extent, entry] : slots) {
    if (layer->table[extent] == kAbsent) entries[extent] = entry;
  }
  return WriteTableEntries(*layer, entries, false);
}

// The flat base of an undoable disk: the disk itself, whole sectors.
bool ClaimsNothing(int) {
  return false;
}

bool OpenFlat(Layer* layer, std::string* why) {
  layer->size = FileSize(layer->fd) / kSector * kSector;
  if (layer->size == 0) return Fail(why, "holds no disk");
  layer->qemu_driver = "raw";
  return true;
}

LayerSource FindFlat(const Layer& layer, uint64_t offset, uint64_t* run,
                     uint64_t* at) {
  *run = layer.size - offset;
  *at = offset;
  return kInLayer;
}

}  // namespace

const LayerFormat kFlatFormat = {
    "flat",  ClaimsNothing, OpenFlat, nullptr,
    nullptr, nullptr,       FindFlat, nullptr,
};

const LayerFormat kRedologFormat = {
    "bochs-redolog", Claims, Open, Places, &kFlatFormat, IsParent, Find, Write,
};
