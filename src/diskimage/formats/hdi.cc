// 86Box's HDI and HDX disks, formats of the program's own (layer.h): a
// header, then the disk as a raw one, from a data offset to the end. QEMU
// would read the header as the disk's first sectors, so it is shown the
// disk through its raw driver from the data offset, and the commit writes
// the changed sectors there, in place; the header is never written.
//
// As 86Box knows them (src/disk/hdd_image.c, hdd_image_load, image_is_hdi
// and image_is_hdx): an HDI by its extension alone, the data offset a
// 32-bit number at 0x8, the disk's size one at 0xC, then the sector size
// (512), sectors a track, heads and cylinders; an HDX by its extension and
// its 8-byte signature, the data offset 0x28, the disk's size a 64-bit
// number at 0x8, then the same four. Each header is taken only where it
// holds together (its size whole sectors, agreeing with its geometry in an
// HDI, and the data inside the file): 86Box does not keep a file shorter
// than its header says as it is (hdd_image_load calls prepare_new_hard_disk,
// which on Windows appends zeros, elsewhere truncates the file to the
// length it lacks).
//
// A commit writes each changed run of sectors in place and syncs: cut
// anywhere, it leaves old sectors or new ones, and writing them again
// leaves the same file.
#include <strings.h>
#include <unistd.h>

#include <algorithm>

#include "diskimage/formats/bytes.h"
#include "diskimage/formats/layer.h"
#include "helpers/io.h"

namespace {

const uint64_t kHdxSignature = 0xD778A82044445459;
const uint64_t kHdxDataAt = 0x28;
const uint64_t kHdxSmallest = 44;           // image_is_hdx
const uint64_t kHdiHeader = 0x20;           // the fields read
const uint64_t kLargestHdiData = 16 << 20;  // the data offset
const uint64_t kPiece = 1 << 20;            // changes grouped by

bool HasExtension(const std::string& path, const char* extension) {
  size_t slash = path.rfind('/');
  size_t dot = path.rfind('.');
  return dot != std::string::npos &&
         (slash == std::string::npos || dot > slash) &&
         strcasecmp(path.c_str() + dot + 1, extension) == 0;
}

bool ClaimsHdi(int, const std::string& path) {
  return HasExtension(path, "hdi");
}

bool ClaimsHdx(int fd, const std::string& path) {
  return HasExtension(path, "hdx") && FileSize(fd) >= kHdxSmallest &&
         LittleEndian(ReadAt(fd, 0, 8) + std::string(8, '\0'), 0, 8) ==
             kHdxSignature;
}

// The disk from `data_at`, `size` bytes, whose geometry `geometry` (at the
// sector size's place) gives, where the header holds together.
bool OpenRaw(Layer* layer, uint64_t data_at, uint64_t size,
             const std::string& geometry, bool geometry_agrees,
             std::string* why) {
  uint64_t sector_size = LittleEndian(geometry, 0, 4);
  uint64_t cylinders = LittleEndian(geometry, 4, 4) *
                       LittleEndian(geometry, 8, 4) *
                       LittleEndian(geometry, 12, 4);
  uint64_t file_size = FileSize(layer->fd);
  if (sector_size != kSector || size == 0 || size % kSector != 0 ||
      (geometry_agrees && cylinders * kSector != size)) {
    *why = "holds an 86Box disk header whose sizes do not hold together";
    return false;
  }
  if (data_at > file_size || size > file_size - data_at) {
    *why = "holds less of its disk than its 86Box header says";
    return false;
  }
  layer->size = size;
  layer->data_at = data_at;
  layer->block = kPiece;
  layer->qemu_driver =
      "raw,offset=" + std::to_string(data_at) + ",size=" + std::to_string(size);
  return true;
}

bool OpenHdi(Layer* layer, std::string* why) {
  layer->header = ReadAt(layer->fd, 0, kHdiHeader);
  const std::string& header = layer->header;
  if (header.size() != kHdiHeader) {
    *why = "holds no 86Box HDI header";
    return false;
  }
  uint64_t data_at = LittleEndian(header, 0x8, 4);
  if (data_at < kHdiHeader || data_at % kSector != 0 ||
      data_at > kLargestHdiData) {
    *why = "holds an 86Box HDI header whose data offset does not hold";
    return false;
  }
  return OpenRaw(layer, data_at, LittleEndian(header, 0xC, 4),
                 header.substr(0x10, 16), true, why);
}

bool OpenHdx(Layer* layer, std::string* why) {
  layer->header = ReadAt(layer->fd, 0, kHdxDataAt);
  const std::string& header = layer->header;
  if (header.size() != kHdxDataAt ||
      LittleEndian(header, 0, 8) != kHdxSignature) {
    *why = "holds no 86Box HDX header";
    return false;
  }
  return OpenRaw(layer, kHdxDataAt, LittleEndian(header, 0x8, 8),
                 header.substr(0x10, 16), false, why);
}

LayerSource Find(const Layer& layer, uint64_t offset, uint64_t* run,
                 uint64_t* at) {
  *run = layer.size - offset;
  *at = layer.data_at + offset;
  return kInLayer;
}

bool Write(Layer* layer, const LayerChanges& changes) {
  for (const auto& [block, runs] : changes.blocks) {
    if (!WriteRunsInPlace(*layer, changes, block,
                          layer->data_at + block * layer->block)) {
      return false;
    }
  }
  return fdatasync(layer->fd) == 0;
}

}  // namespace

const LayerFormat kHdiFormat = {
    "86box-hdi", ClaimsHdi, OpenHdi, nullptr, nullptr,
    nullptr,     Find,      Write,   nullptr,
};

const LayerFormat kHdxFormat = {
    "86box-hdx", ClaimsHdx, OpenHdx, nullptr, nullptr,
    nullptr,     Find,      Write,   nullptr,
};
