// Bochs' redolog, a format of the program's own (layer.h): a growing disk
// (subtype "Growing", which QEMU reads but cannot write) and the changes
// file of an undoable disk (subtype "Undoable", over a flat base Bochs only
// reads, which QEMU cannot read at all). A volatile one Bochs deletes
// itself, and is never written.
//
// A 512-byte header (magic, type "Redolog", subtype, version 2 or 1, the
// header's size, catalog entries, bitmap and extent sizes, a timestamp,
// then at 88 the disk's size), a catalog of one 32-bit entry an
// extent (all ones: not allocated), then the extent slots, each its bitmap
// and then its data, in whole sectors. Bitmap bits count from the least
// significant bit of each byte; a sector whose bit is clear reads from the
// base, or as zeros in a growing disk. A new extent goes to the slot past
// the largest the catalog names, and only inside the catalog.
//
// Also the base of an undoable disk, opened in its own format.
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "diskimage/formats/bytes.h"
#include "diskimage/formats/layer.h"
#include "diskimage/formats/vhd.h"
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

bool Claims(int fd, const std::string&) {
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
  // Version 1 has no timestamp, but Bochs 2.7 and bximage read its header
  // through an unpacked struct (hdimage.h, redolog_header_v1_t; redolog_t::
  // open), whose 64-bit disk size is aligned to offset 88 on 64-bit and
  // Windows builds, as version 2 keeps it.
  layer->size = LittleEndian(header, 88, 8) / kSector * kSector;
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
  layer->entries = entries;
  uint64_t file_size = FileSize(layer->fd);
  if (layer->data_at > file_size) {
    return Fail(why, "holds a Bochs redolog catalog past its end");
  }
  // The catalog streamed, twice: where each extent lies, then that no slot
  // is named twice. A slot past the catalog's count Bochs never writes
  // (redolog_t::write stops first).
  bool past_disk = false;
  if (!ForEachEntry(*layer,
                    [&](uint64_t i, uint32_t entry) {
                      if (entry == kAbsent) return true;
                      past_disk = i * layer->block >= layer->size;
                      layer->allocated =
                          std::max<uint64_t>(layer->allocated, entry + 1);
                      return !past_disk;
                    }) ||
      past_disk) {
    return Fail(why, past_disk
                         ? "holds a Bochs redolog extent past the end of its "
                           "disk"
                         : "holds a Bochs redolog catalog past its end");
  }
  uint64_t slot =
      (SectorsOf(layer->bitmap) + SectorsOf(layer->block)) * kSector;
  static const char* const kTexts[3] = {
      "holds a Bochs redolog extent past its catalog",
      "holds a Bochs redolog extent past the end of the file",
      "holds a Bochs redolog extent two entries name"};
  if (!CheckWholeBlocks(*layer, kAbsent, kAbsent, entries,
                        (file_size - layer->data_at) / slot, kTexts, why)) {
    return false;
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

}  // namespace

// A FAT date and time in local time, as Bochs stamps a redolog with its
// base's (hdimage.cc, fat_datetime and device_image_t::get_timestamp).
uint32_t BochsTimeStamp(int fd) {
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

namespace {

// The size Bochs gives the base, to the byte: a flat disk's file size
// (flat_image_t::open); a growing disk's, a VDI's and a version-2 sparse
// disk's as their headers give it (growing_image_t::open, vbox_image_t::
// open, sparse_image_t::open, which gives a version-1 sparse disk none);
// a VHD's from its geometry (vpc.cc, vpc_image_t::open).
uint64_t BaseSize(const Layer& base) {
  if (base.format == &kFlatFormat) return FileSize(base.fd);
  if (base.format == &kRedologFormat) return LittleEndian(base.header, 88, 8);
  if (base.format == &kVdiFormat) return LittleEndian(base.header, 0x170, 8);
  if (base.format == &kSparseFormat) {
    return LittleEndian(base.header, 4, 4) == 2
               ? LittleEndian(base.header, 16, 8)
               : 0;
  }
  return BigEndian(base.footer, 56, 2) *
         static_cast<unsigned char>(base.footer[58]) *
         static_cast<unsigned char>(base.footer[59]) * kSector;
}

// Bochs stops unless the base holds a disk of the redolog's size, to the
// byte, and, where the redolog is stamped (at 84, whatever its version),
// was last changed when it says (hdimage.cc, coherency_check).
bool IsParent(const Layer& child, const Layer& parent, std::string* why) {
  if (BaseSize(parent) != LittleEndian(child.header, 88, 8)) {
    *why = "is not the base the redolog was made over: its size differs";
    return false;
  }
  bool stamped = LittleEndian(child.header, 84, 4) != 0;
  if (stamped &&
      LittleEndian(child.header, 84, 4) != BochsTimeStamp(parent.fd)) {
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
  uint32_t entry;
  if (!TableEntry(layer, extent, &entry)) return kUnreadable;
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
  std::map<uint64_t, uint32_t> entries;
  for (const auto& [extent, runs] : changes.blocks) {
    uint32_t entry;
    if (!TableEntry(*layer, extent, &entry)) return false;
    if (entry == kAbsent) {
      if (next >= layer->entries) return false;  // Fits said otherwise
      entry = static_cast<uint32_t>(next++);
      entries[extent] = entry;
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
  return WriteTableEntries(*layer, entries);
}

// Bochs places a new extent at the slot past the largest the catalog
// names, and stops when that is past the catalog (redolog_t::write): the
// extents a commit adds must all fit there.
bool Fits(const Layer& layer, const LayerChanges& changes, std::string* why) {
  uint64_t added = 0;
  for (const auto& [extent, runs] : changes.blocks) {
    uint32_t entry;
    if (!TableEntry(layer, extent, &entry)) {
      *why = "holds a Bochs redolog catalog that cannot be read";
      return false;
    }
    if (entry == kAbsent) ++added;
  }
  if (layer.allocated + added <= layer.entries) return true;
  *why = "holds a Bochs redolog whose catalog has room for " +
         std::to_string(layer.entries - layer.allocated) +
         " more extents, and the changes need " + std::to_string(added);
  return false;
}

// The base of an undoable disk, opened in its own format as Bochs opens
// it (hdimage.cc, undoable_image_t::open and hdimage_detect_image_mode, in
// its order): a sparse disk, a growing one, a VHD or a VDI by its header
// (VMware's disks Bochs reads too, this program does not), else the disk
// itself, whole sectors (flat_image_t::check_format).
bool ClaimsNothing(int, const std::string&) {
  return false;
}

// Whether Bochs takes `head` for a VDI (vbox.cc, vbox_image_t::
// check_format): version 1.1, a dynamic or fixed one, of 1 MiB blocks and
// 512-byte sectors. Any other it reads as a flat disk.
bool BochsReadsVdi(const std::string& head) {
  uint64_t type = head.size() >= 0x180 ? LittleEndian(head, 0x4C, 4) : 0;
  return (type == 1 || type == 2) &&
         LittleEndian(head, 0x40, 4) == 0xBEDA107F &&
         LittleEndian(head, 0x44, 4) == 0x00010001 &&
         LittleEndian(head, 0x178, 4) == (1u << 20) &&
         LittleEndian(head, 0x168, 4) == kSector;
}

// Bochs reads a VDI's block at offData + index × 1 MiB and an entry of
// 0xFFFFFFFE as an index (vbox_image_t::read_block): a VDI whose blocks
// carry extra bytes, or that holds a zero block, it reads otherwise than
// VirtualBox, and is refused.
bool BochsReadsVdiAlike(const Layer& vdi, std::string* why) {
  bool zero = false;
  if (vdi.bitmap != 0) {
    return Fail(why,
                "is a VDI whose blocks carry extra bytes, which Bochs reads "
                "as the disk's");
  }
  if (!ForEachEntry(vdi, [&](uint64_t, uint32_t entry) {
        zero = entry == 0xFFFFFFFE;
        return !zero;
      })) {
    return Fail(why, zero ? "is a VDI with a zero block, which Bochs does "
                            "not read as zeros"
                          : "holds a VDI block map that cannot be read");
  }
  return true;
}

bool OpenFlat(Layer* layer, std::string* why) {
  int fd = layer->fd;
  std::string head = ReadAt(fd, 0, kHeaderSize);
  const LayerFormat* own = nullptr;
  if (kSparseFormat.claims(fd, layer->path)) {
    own = &kSparseFormat;
  } else if (IsRedolog(head)) {
    if (Field(head, 48) != "Growing") {
      return Fail(why, "is a Bochs redolog, not a disk Bochs takes for a base");
    }
    own = &kRedologFormat;
  } else if (head.compare(0, 4, "COWD") == 0 ||
             head.compare(0, 4, "KDMV") == 0) {
    return Fail(why, "is a VMware disk, which this program cannot read here");
  } else if (VhdTypeOf(fd) != kVhdNone) {
    own = &kVhdFormat;
  } else if (BochsReadsVdi(head)) {
    own = &kVdiFormat;
  }
  if (own) {
    if (!OpenLayer(own, fd, layer->path, layer, why)) return false;
    // A sparse base reads through the layers below it, as Bochs opens
    // them (sparse_image_t::open); a differencing VHD Bochs reads as if
    // it had no parent (vpc_image_t::open).
    if (layer->has_parent && own != &kSparseFormat) {
      return Fail(why,
                  "is a differencing disk, which Bochs cannot take for "
                  "a base");
    }
    return own != &kVdiFormat || BochsReadsVdiAlike(*layer, why);
  }
  layer->size = FileSize(fd);
  if (layer->size == 0 || layer->size % kSector != 0) {
    return Fail(why, "holds no whole number of sectors, which Bochs needs");
  }
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

uint64_t BochsBaseSize(int fd, const std::string& path) {
  Layer base;
  std::string why;
  return OpenLayer(&kFlatFormat, fd, path, &base, &why) ? BaseSize(base) : 0;
}

const LayerFormat kFlatFormat = {
    "flat",  ClaimsNothing, OpenFlat, nullptr, nullptr,
    nullptr, FindFlat,      nullptr,  nullptr,
};

const LayerFormat kRedologFormat = {
    "bochs-redolog", Claims, Open,  Places, &kFlatFormat,
    IsParent,        Find,   Write, Fits,
};
