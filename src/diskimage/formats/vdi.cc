// VirtualBox's VDI, a format of the program's own (layer.h) for its
// differencing images, the state of a machine since a snapshot: QEMU
// refuses one, and its parent is named by UUID alone; and for the base
// VDIs QEMU reads otherwise than VirtualBox does (QemuReadsAlike).
//
// A pre-header and header (signature 0xBEDA107F), then a block map of one
// 32-bit entry a block: all ones, free (read from the parent); all ones
// but the last bit, zero (reads as zeros, parent or not); else the block's
// index among the allocated blocks, stored at `offData` + index × (extra
// bytes + block). An allocated block holds the whole block: there are no
// sector bitmaps. VirtualBox places a new block by `cBlocksAllocated`.
#include <string.h>
#include <strings.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>

#include "diskimage/formats/bytes.h"
#include "diskimage/formats/layer.h"
#include "diskimage/machines/vbox.h"
#include "helpers/io.h"
#include "helpers/paths.h"

namespace {

const uint64_t kSignature = 0xBEDA107F;
const uint64_t kHeaderEnd = 0x1C8;  // the version 1.1 header's
const uint64_t kDynamic = 1, kFixed = 2, kDifferencing = 4;
const uint32_t kZero = 0xFFFFFFFE;
const uint64_t kMostBlocks = 1u << 22;
// The header's fields.
const uint64_t kLchsEnd = 0x1D8;  // the 1.1 header with its LCHS geometry
const size_t kType = 0x4C, kFlags = 0x50, kBlocksAt = 0x154, kDataAt = 0x158,
             kSectorSize = 0x168, kDiskSize = 0x170, kBlockSize = 0x178,
             kBlockExtra = 0x17C, kBlocks = 0x180, kAllocated = 0x184,
             kCreate = 0x188, kModify = 0x198, kLinkage = 0x1A8,
             kParentModify = 0x1B8, kLchsSectorSize = 0x1D4;

bool Fail(std::string* why, const char* reason) {
  *why = reason;
  return false;
}

bool IsPowerOfTwo(uint64_t value) {
  return value && !(value & (value - 1));
}

std::string Header(int fd) {
  return ReadAt(fd, 0, 0x200);
}

bool IsNull(const std::string& header, size_t at) {
  return header.compare(at, 16, std::string(16, '\0')) == 0;
}

// Whether QEMU's driver reads the base VDI `header` as VirtualBox's
// vdiRead (VDI.cpp) does. QEMU's vdi_open takes version 1.1 alone, blocks
// of 1 MiB, a sector size of 512 and no linkage or parent UUID, and its
// reads (vdi_co_preadv) place a block at offData + index × cbBlock,
// ignoring the cbBlockExtra bytes vdiRead skips before each block's data
// (offStartBlockData); it rounds an odd disk size up, where VirtualBox
// keeps it. Any other VDI is this program's to read.
bool QemuReadsAlike(const std::string& header) {
  return LittleEndian(header, 0x44, 4) == 0x00010001 &&
         LittleEndian(header, kBlockSize, 4) == (1u << 20) &&
         LittleEndian(header, kBlockExtra, 4) == 0 &&
         LittleEndian(header, kBlocksAt, 4) % kSector == 0 &&
         LittleEndian(header, kDataAt, 4) % kSector == 0 &&
         LittleEndian(header, kSectorSize, 4) == kSector &&
         LittleEndian(header, kDiskSize, 8) % kSector == 0 &&
         IsNull(header, kLinkage) && IsNull(header, kParentModify);
}

bool Claims(int fd, const std::string&) {
  std::string header = Header(fd);
  if (header.size() < kHeaderEnd ||
      LittleEndian(header, 0x40, 4) != kSignature ||
      LittleEndian(header, 0x44, 4) >> 16 != 1) {
    return false;
  }
  return LittleEndian(header, kType, 4) == kDifferencing ||
         !QemuReadsAlike(header);
}

// Reads and bounds the header and the block map, as VirtualBox does when
// it opens an image, and refuses a map it would misread: an entry at or
// past `cBlocksAllocated`, one block named twice, a block past the file.
bool Open(Layer* layer, std::string* why) {
  layer->header = Header(layer->fd);
  const std::string& header = layer->header;
  if (header.size() < kHeaderEnd ||
      LittleEndian(header, 0x40, 4) != kSignature ||
      LittleEndian(header, 0x44, 4) >> 16 != 1 ||
      LittleEndian(header, 0x48, 4) < kHeaderEnd - 0x48) {
    return Fail(why, "holds a VDI header this program cannot read");
  }
  uint64_t type = LittleEndian(header, kType, 4);
  uint64_t blocks_at = LittleEndian(header, kBlocksAt, 4);
  uint64_t count = LittleEndian(header, kBlocks, 4);
  layer->block = LittleEndian(header, kBlockSize, 4);
  layer->bitmap = LittleEndian(header, kBlockExtra, 4);  // extra bytes
  layer->data_at = LittleEndian(header, kDataAt, 4);
  layer->allocated = LittleEndian(header, kAllocated, 4);
  layer->size = LittleEndian(header, kDiskSize, 8) / kSector * kSector;
  layer->table_at = blocks_at;
  if (type != kDynamic && type != kFixed && type != kDifferencing) {
    return Fail(why, "is a VDI of a kind this program cannot read");
  }
  if (layer->size == 0 || count == 0 || count > kMostBlocks ||
      layer->block < (128u << 10) || layer->block > (128u << 20) ||
      !IsPowerOfTwo(layer->block) ||
      (layer->bitmap && !IsPowerOfTwo(layer->bitmap)) ||
      layer->bitmap > layer->block || count * layer->block < layer->size ||
      layer->allocated > count || blocks_at < kHeaderEnd ||
      layer->data_at < blocks_at + 4 * count) {
    return Fail(why, "holds a VDI header whose sizes do not hold together");
  }
  if (header.compare(kCreate, 16, std::string(16, '\0')) == 0) {
    return Fail(why, "holds a VDI header without its own UUID");
  }
  // vdiValidateHeader refuses these too: flags other than zero-expand,
  // fixed and differencing (shifted 8 bits up, the top byte lost), no
  // modification UUID, and an LCHS geometry whose sectors are not of 512
  // bytes, in a 1.1 header long enough to hold one (getImageLCHSGeometry).
  bool lchs = LittleEndian(header, 0x44, 4) == 0x00010001 &&
              LittleEndian(header, 0x48, 4) >= kLchsEnd - 0x48;
  if ((LittleEndian(header, kFlags, 4) & 0x00FFFCFE) != 0 ||
      IsNull(header, kModify) ||
      (lchs && LittleEndian(header, kLchsSectorSize, 4) != kSector)) {
    return Fail(why, "holds a VDI header VirtualBox refuses");
  }
  uint64_t file_size = FileSize(layer->fd);
  if (blocks_at + 4 * count > file_size) {
    return Fail(why, "holds a VDI block map past its end");
  }
  layer->entries = count;
  // Each entry a block below cBlocksAllocated, as VirtualBox refuses any
  // other where it keeps track of blocks (vdiImageBackResolvTblCreate),
  // and places a new block there (vdiWrite); and the file must hold it.
  uint64_t slot = layer->bitmap + layer->block;
  uint64_t held =
      file_size > layer->data_at ? (file_size - layer->data_at) / slot : 0;
  static const char* const kTexts[3] = {
      "holds a VDI block past the blocks it counts",
      "holds a VDI block past the end of the file",
      "holds a VDI block that two map entries name"};
  if (!CheckWholeBlocks(*layer, kNoBlock, kZero, layer->allocated, held, kTexts,
                        why)) {
    return false;
  }
  layer->id = header.substr(kCreate, 16);
  layer->parent_id = header.substr(kLinkage, 16);
  layer->has_parent = type == kDifferencing;
  if (!layer->has_parent && QemuReadsAlike(header)) {
    layer->qemu_driver = "vdi";
    layer->qemu_writes = true;
  }
  return true;
}

// The machine files of the image's folder and the folder above (a
// snapshot's machine folder) name the parent by its UUID; failing them, a
// VDI of those folders whose own UUID it is.
ParentPlaces Places(const Layer& child) {
  ParentPlaces places;
  std::string uuid = "{" + GuidText(child.parent_id) + "}";
  std::string folder = FolderOf(child.path);
  std::vector<std::string> folders = {folder};
  if (folder != "/") folders.push_back(FolderOf(folder));
  for (const std::string& where : folders) {
    for (const std::string& file : FilesEndingIn(where, ".vbox")) {
      VboxMachine machine;
      if (!ReadVbox(file, &machine)) continue;
      // The parent a registry nests the child under is its parent, as
      // VirtualBox takes it, whatever the child's header says.
      const VboxDisk* nest = nullptr;
      std::string own = "{" + GuidText(child.id) + "}";
      bool nested = VboxFind(machine, own, &nest) && nest;
      for (const VboxDisk* disk : VboxDisks(machine)) {
        if ((nested ? disk == nest
                    : strcasecmp(disk->uuid.c_str(), uuid.c_str()) == 0) &&
            !disk->location.empty() &&
            std::find(places.decisive.begin(), places.decisive.end(),
                      disk->location) == places.decisive.end()) {
          places.decisive.push_back(disk->location);
        }
      }
    }
  }
  if (!places.decisive.empty()) return places;
  for (const std::string& where : folders) {
    for (const std::string& file : FilesEndingIn(where, ".vdi")) {
      if (file != child.path) places.scanned.push_back(file);
    }
  }
  places.unnamed =
      "names its parent " + uuid +
      ", which no VirtualBox machine file or VDI beside it or above holds";
  return places;
}

bool IsParent(const Layer& child, const Layer& parent, std::string* why) {
  return IdNamesParent(child, parent, "UUID", why);
}

LayerSource Find(const Layer& layer, uint64_t offset, uint64_t* run,
                 uint64_t* at) {
  return FindWholeBlock(layer, kZero, offset, run, at);
}

// A commit, as VirtualBox writes: a changed sector of an allocated block
// in place; a block the image lacks allocated whole (the parent's bytes
// with the run's) at the next index, where a block allocated but never
// entered in the map is taken again first. The data is synced, then the
// count of blocks (and a new modification UUID, as a session that writes
// leaves), synced, then the map entries, synced.
bool Write(Layer* layer, const LayerChanges& changes) {
  int fd = layer->fd;
  std::map<uint64_t, uint32_t> added;
  if (!PlaceWholeBlocks(*layer, changes, kZero, &added)) return false;
  uint64_t count = layer->allocated;
  for (const auto& [block, index] : added) {
    count = std::max<uint64_t>(count, uint64_t{index} + 1);
  }
  if (!WriteWholeBlocks(*layer, changes, added) || fdatasync(fd) != 0) {
    return false;
  }
  std::string fields = layer->header.substr(kAllocated, kLinkage - kAllocated);
  PutLittleEndian(&fields, 0, 4, count);
  std::string modify(16, '\0');
  if (getrandom(&modify[0], modify.size(), 0) != 16) return false;
  modify[7] = static_cast<char>((modify[7] & 0x0F) | 0x40);  // version 4
  modify[8] = static_cast<char>((modify[8] & 0x3F) | 0x80);
  fields.replace(kModify - kAllocated, 16, modify);
  if (!LayerWriteAt(fd, fields.data(), fields.size(), kAllocated) ||
      fdatasync(fd) != 0) {
    return false;
  }
  return WriteTableEntries(*layer, added);
}

}  // namespace

const LayerFormat kVdiFormat = {
    "vdi-differencing", Claims, Open,  Places,  nullptr,
    IsParent,           Find,   Write, nullptr,
};
