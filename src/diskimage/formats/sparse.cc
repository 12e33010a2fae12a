// Bochs' sparse disk, a format of the program's own (layer.h): QEMU reads
// none (it would take one for a raw disk). A 256-byte header (magic
// 0x02468ACE, version 2 or 1, page size, page count, in version 2 the
// disk's size), a table of one 32-bit entry a page (all ones: not
// present), and the pages from the first page boundary past the table. A
// layer `NAME.N` reads what it lacks from `NAME.N-1` where that exists, as
// Bochs layers them; a page a layer adds holds the whole page, its
// parent's bytes with the layer's own.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "diskimage/formats/bytes.h"
#include "diskimage/formats/layer.h"
#include "helpers/io.h"

namespace {

const uint32_t kMagic = 0x02468ACE;
const uint64_t kHeaderSize = 256;
const uint64_t kLargestPage = 64u << 20;
// 128 GiB in the 32 KiB pages bximage makes, and the one more it counts
// (sparse_image_t::create_image): more than Windows 95 reads, and a table
// of 16 MiB, as other formats' are bounded.
const uint64_t kMostPages = (1u << 22) + 1;

bool Fail(std::string* why, const char* reason) {
  *why = reason;
  return false;
}

bool Claims(int fd, const std::string&) {
  std::string header = ReadAt(fd, 0, kHeaderSize);
  return header.size() == kHeaderSize && LittleEndian(header, 0, 4) == kMagic;
}

// The layer below `path` by Bochs' naming (hdimage.cc, sparse_image_t::open
// and increment_string): its last character one less, where that is a
// digit, and a file (links followed) lies there; "" where there is none.
std::string LayerBelow(const std::string& path) {
  std::string below = SparseLayerBelow(path);
  struct stat st;
  return !below.empty() && stat(below.c_str(), &st) == 0 ? below : "";
}

// Reads and bounds the header and the page table. `block` is the page's
// size, `data_at` where page 0 lies, `allocated` the pages the file holds.
bool Open(Layer* layer, std::string* why) {
  layer->header = ReadAt(layer->fd, 0, kHeaderSize);
  const std::string& header = layer->header;
  if (!Claims(layer->fd, layer->path))
    return Fail(why, "holds no Bochs sparse header");
  uint64_t version = LittleEndian(header, 4, 4);
  layer->block = LittleEndian(header, 8, 4);
  uint64_t pages = LittleEndian(header, 12, 4);
  uint64_t file_size = FileSize(layer->fd);
  if (version != 1 && version != 2) {
    return Fail(why,
                "is a Bochs sparse disk of a version this program "
                "cannot read");
  }
  if (pages > kMostPages) {
    return Fail(why, "holds more Bochs sparse pages than this program reads");
  }
  if (layer->block < kSector || layer->block > kLargestPage ||
      (layer->block & (layer->block - 1)) || pages == 0 ||
      kHeaderSize + 4 * pages > file_size) {
    return Fail(why,
                "holds a Bochs sparse header whose sizes do not hold "
                "together");
  }
  layer->size = version == 2 ? LittleEndian(header, 16, 8) / kSector * kSector
                             : pages * layer->block;
  layer->table_at = kHeaderSize;
  layer->data_at = (kHeaderSize + 4 * pages + layer->block - 1) / layer->block *
                   layer->block;
  if (layer->size == 0 || layer->size > pages * layer->block ||
      file_size < layer->data_at || file_size % layer->block != 0) {
    return Fail(why,
                "holds a Bochs sparse disk whose size does not hold "
                "together");
  }
  layer->allocated = (file_size - layer->data_at) / layer->block;
  layer->entries = pages;
  static const char* const kTexts[3] = {
      "holds a Bochs sparse page past the end of the file",
      "holds a Bochs sparse page past the end of the file",
      "holds a Bochs sparse page two entries name"};
  if (!CheckWholeBlocks(*layer, kNoBlock, kNoBlock, layer->allocated,
                        layer->allocated, kTexts, why)) {
    return false;
  }
  layer->id = std::to_string(layer->block) + "/" + std::to_string(pages);
  layer->has_parent = !LayerBelow(layer->path).empty();
  return true;
}

ParentPlaces Places(const Layer& child) {
  ParentPlaces places;
  places.decisive.push_back(LayerBelow(child.path));
  return places;
}

// Bochs stops unless the layers' pages are alike.
bool IsParent(const Layer& child, const Layer& parent, std::string* why) {
  if (parent.id == child.id) return true;
  *why =
      "is not a layer like the one above it: its page size or count "
      "differs";
  return false;
}

LayerSource Find(const Layer& layer, uint64_t offset, uint64_t* run,
                 uint64_t* at) {
  return FindWholeBlock(layer, kNoBlock, offset, run, at);
}

// A commit, as Bochs writes: a changed sector of a page the layer holds in
// place; a page it lacks added whole (its parent's bytes with the run's)
// where a page was added but never entered, else at the end of the file,
// grown first by whole pages; synced; then the table entries, synced.
bool Write(Layer* layer, const LayerChanges& changes) {
  int fd = layer->fd;
  std::map<uint64_t, uint32_t> added;
  if (!PlaceWholeBlocks(*layer, changes, kNoBlock, &added)) return false;
  uint64_t pages = layer->allocated;
  for (const auto& [page, index] : added) {
    pages = std::max<uint64_t>(pages, uint64_t{index} + 1);
  }
  // The file grows by whole pages before any is written, so that its size
  // is a whole number of pages at every moment, as Bochs needs it.
  if (pages > layer->allocated &&
      (ftruncate(fd, static_cast<off_t>(layer->data_at +
                                        pages * layer->block)) != 0 ||
       fdatasync(fd) != 0)) {
    return false;
  }
  return WriteWholeBlocks(*layer, changes, added) && fdatasync(fd) == 0 &&
         WriteTableEntries(*layer, added);
}

}  // namespace

std::string SparseLayerBelow(const std::string& path) {
  if (path.empty() || path.back() < '1' || path.back() > ':') return "";
  std::string below = path;
  below.back() = static_cast<char>(below.back() - 1);
  return below;
}

const LayerFormat kSparseFormat = {
    "bochs-sparse", Claims, Open,  Places,  nullptr,
    IsParent,       Find,   Write, nullptr,
};
