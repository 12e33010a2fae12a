#include "diskimage/formats/vhd.h"

#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

#include "diskimage/formats/bytes.h"
#include "diskimage/formats/layer.h"
#include "helpers/io.h"

namespace {

const char kFooterCookie[] = "conectix";
const char kHeaderCookie[] = "cxsparse";
const uint64_t kFooterSize = 512;
const uint64_t kHeaderSize = 1024;
const size_t kFooterChecksum = 64;
const size_t kHeaderChecksum = 36;
const size_t kSavedState = 84;
const uint64_t kLargestBlock = 256u << 20;
const uint64_t kMostBlocks = 1u << 22;  // 2 TiB in blocks of 512 KiB
// Blocks a table may name: 2 TiB in blocks of 2 MiB, as Virtual PC makes.
const uint64_t kMostStoredBlocks = 1u << 20;
const uint64_t kLongestLocator = uint64_t{64} * 1024;
const uint64_t kLargestLocatorSpace = 1 << 20;
const uint32_t kAbsent = 0xFFFFFFFF;  // a block the disk does not hold

// The platform codes of parent locators, by how their path is stored.
const uint32_t kRelativeUtf16 = 0x57327275;  // "W2ru"
const uint32_t kAbsoluteUtf16 = 0x57326B75;  // "W2ku"
const uint32_t kFileUrl = 0x4D616358;        // "MacX"
const uint32_t kRelativeAnsi = 0x57693272;   // "Wi2r", an older form
const uint32_t kAbsoluteAnsi = 0x5769326B;   // "Wi2k", an older form

// The ones' complement of the sum of every byte but the checksum's own.
uint32_t Checksum(const std::string& bytes, size_t checksum_at) {
  uint32_t sum = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i < checksum_at || i >= checksum_at + 4) {
      sum += static_cast<unsigned char>(bytes[i]);
    }
  }
  return ~sum;
}

bool Fail(std::string* why, const char* reason) {
  *why = reason;
  return false;
}

bool IsFooter(const std::string& footer) {
  return footer.size() == kFooterSize &&
         footer.compare(0, 8, kFooterCookie) == 0;
}

std::string EndFooter(int fd) {
  uint64_t size = FileSize(fd);
  return size >= kFooterSize ? ReadAt(fd, size - kFooterSize, kFooterSize) : "";
}

VhdType TypeIn(const std::string& footer) {
  if (!IsFooter(footer)) return kVhdNone;
  uint64_t type = BigEndian(footer, 60, 4);
  if (type == kVhdFixed || type == kVhdDynamic || type == kVhdDifferencing) {
    return static_cast<VhdType>(type);
  }
  return kVhdNone;
}

// Text of a path stored in UTF-16 (little- or big-endian) as UTF-8, up to
// its first NUL; empty when it is not well formed.
std::string FromUtf16(const std::string& bytes, bool big_endian) {
  std::string text;
  auto unit_at = [&](size_t at) {
    return big_endian ? BigEndian(bytes, at, 2) : LittleEndian(bytes, at, 2);
  };
  for (size_t at = 0; at + 1 < bytes.size(); at += 2) {
    uint64_t unit = unit_at(at);
    if (unit == 0) break;
    if (unit >= 0xDC00 && unit < 0xE000) return "";
    if (unit >= 0xD800 && unit < 0xDC00) {
      at += 2;
      uint64_t low = at + 1 < bytes.size() ? unit_at(at) : 0;
      if (low < 0xDC00 || low >= 0xE000) return "";
      unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
    }
    if (unit < 0x80) {
      text += static_cast<char>(unit);
    } else if (unit < 0x800) {
      text += static_cast<char>(0xC0 | unit >> 6);
      text += static_cast<char>(0x80 | (unit & 0x3F));
    } else if (unit < 0x10000) {
      text += static_cast<char>(0xE0 | unit >> 12);
      text += static_cast<char>(0x80 | (unit >> 6 & 0x3F));
      text += static_cast<char>(0x80 | (unit & 0x3F));
    } else {
      text += static_cast<char>(0xF0 | unit >> 18);
      text += static_cast<char>(0x80 | (unit >> 12 & 0x3F));
      text += static_cast<char>(0x80 | (unit >> 6 & 0x3F));
      text += static_cast<char>(0x80 | (unit & 0x3F));
    }
  }
  return text;
}

// A Windows path as a path here: '\' separates; one with a drive letter,
// or a network one, cannot be found here and gives "".
std::string LocalPath(std::string path) {
  if (path.size() >= 2 && path[1] == ':') return "";
  if (path.compare(0, 2, "\\\\") == 0) return "";
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The path of a local file URL, its escapes undone; "" for any other.
std::string UrlPath(const std::string& url) {
  std::string rest;
  for (const char* prefix : {"file://localhost/", "file:///"}) {
    size_t length = strlen(prefix);
    if (url.compare(0, length, prefix) == 0) rest = url.substr(length - 1);
  }
  std::string path;
  for (size_t i = 0; i < rest.size(); ++i) {
    if (rest[i] == '%' && i + 2 < rest.size() && HexDigit(rest[i + 1]) >= 0 &&
        HexDigit(rest[i + 2]) >= 0) {
      path +=
          static_cast<char>(HexDigit(rest[i + 1]) * 16 + HexDigit(rest[i + 2]));
      i += 2;
    } else {
      path += rest[i];
    }
  }
  return path.find('\0') == std::string::npos ? path : "";
}

// The fields of parent locator `i` (0 to 7) of header `header`.
uint32_t LocatorCode(const std::string& header, int i) {
  return static_cast<uint32_t>(BigEndian(header, 576 + 24 * i, 4));
}
uint64_t LocatorLength(const std::string& header, int i) {
  return BigEndian(header, 576 + 24 * i + 8, 4);
}
uint64_t LocatorOffset(const std::string& header, int i) {
  return BigEndian(header, 576 + 24 * i + 16, 8);
}
// The space a locator reserves: counted in sectors by the older ANSI
// forms, in bytes by Windows and Virtual PC for the others; never less
// than its data.
uint64_t LocatorSpace(const std::string& header, int i) {
  uint64_t space = BigEndian(header, 576 + 24 * i + 4, 4);
  uint32_t code = LocatorCode(header, i);
  if (code == kRelativeAnsi || code == kAbsoluteAnsi) space *= kSector;
  return std::max(space, LocatorLength(header, i));
}

// A region of the file the format owns: [start, end).
using Region = std::pair<uint64_t, uint64_t>;

// Whether any of `regions` overlap, or any of `shared` (which may overlap
// each other, as locators older tools wrote do) overlaps one of them.
bool Overlap(std::vector<Region> regions, const std::vector<Region>& shared) {
  std::sort(regions.begin(), regions.end());
  for (size_t i = 1; i < regions.size(); ++i) {
    if (regions[i].first < regions[i - 1].second) return true;
  }
  for (const Region& region : shared) {
    auto after = std::upper_bound(regions.begin(), regions.end(),
                                  Region{region.first, UINT64_MAX});
    if (after != regions.end() && after->first < region.second) return true;
    if (after != regions.begin() && std::prev(after)->second > region.first) {
      return true;
    }
  }
  return false;
}

bool OpenFixed(Layer* layer, uint64_t file_size, std::string* why) {
  if (file_size < layer->size + kFooterSize) {
    return Fail(why, "is a fixed VHD whose footer is not at its end");
  }
  layer->qemu_driver = "vpc";
  layer->qemu_writes = true;
  layer->used_end = layer->size;
  return true;
}

// Reads the block table and checks that whatever the disk's metadata names
// lies apart, inside the file and before its footer, so that writing a
// block never lands on anything else.
bool ReadTable(Layer* layer, uint64_t header_at, uint64_t entries,
               uint64_t file_size, std::string* why) {
  const std::string& header = layer->header;
  uint64_t end = file_size - kFooterSize;  // where the footer begins
  uint64_t table_bytes = RoundToSector(entries * 4);
  if (layer->table_at % kSector != 0) {
    return Fail(why, "holds a VHD block table off a sector's start");
  }
  if (layer->table_at > end || table_bytes > end - layer->table_at) {
    return Fail(why, "holds a VHD block table past its end");
  }
  layer->entries = entries;
  layer->big_endian = true;
  std::vector<Region> regions = {
      {header_at, header_at + kHeaderSize},
      {layer->table_at, layer->table_at + table_bytes}};
  if (header_at >= kFooterSize) regions.push_back({0, kFooterSize});
  std::vector<Region> locators;
  for (int i = 0; i < 8; ++i) {
    if (LocatorCode(header, i) == 0) continue;
    uint64_t start = LocatorOffset(header, i);
    uint64_t space = LocatorSpace(header, i);
    if (LocatorLength(header, i) > kLongestLocator ||
        space > kLargestLocatorSpace || start > end ||
        LocatorLength(header, i) > end - start) {
      return Fail(why, "holds a VHD parent locator past its end");
    }
    // Older tools placed a locator off a sector's start; its sectors are
    // the format's all the same.
    locators.push_back(
        {start / kSector * kSector, RoundToSector(start + space)});
  }
  if (Overlap(regions, locators)) {
    return Fail(why, "holds VHD blocks that overlap each other or its tables");
  }
  // The table streamed twice: each block inside the disk and the file,
  // counted; then their starts, held (4 bytes a block, so a bounded
  // count), sorted, to find any two that overlap, or one that overlaps
  // the regions above.
  uint64_t blocks = (layer->size + layer->block - 1) / layer->block;
  uint64_t stored = layer->bitmap + layer->block;
  uint64_t count = 0;
  const char* fault = nullptr;
  auto each = [&](uint64_t i, uint32_t entry) {
    if (entry == kAbsent) return true;
    uint64_t start = uint64_t{entry} * kSector;
    if (i >= blocks) {
      fault = "holds a VHD block past the end of its disk";
    } else if (start > end || stored > end - start) {
      fault = "holds a VHD block that runs past the end of the file";
    } else if (++count > kMostStoredBlocks) {
      fault = "holds more VHD blocks than this program reads";
    }
    return fault == nullptr;
  };
  if (!ForEachEntry(*layer, each)) {
    return Fail(why, fault ? fault
                           : "holds a VHD block table that cannot be "
                             "read");
  }
  std::vector<uint32_t> starts;
  starts.reserve(count);
  if (!ForEachEntry(*layer, [&](uint64_t, uint32_t entry) {
        if (entry != kAbsent && starts.size() < count) starts.push_back(entry);
        return true;
      })) {
    return Fail(why, "holds a VHD block table that cannot be read");
  }
  std::sort(starts.begin(), starts.end());
  bool overlap = false;
  for (size_t i = 1; i < starts.size(); ++i) {
    overlap = overlap || uint64_t{starts[i] - starts[i - 1]} * kSector < stored;
  }
  regions.insert(regions.end(), locators.begin(), locators.end());
  for (const Region& region : regions) {
    // The last block starting before the region's end must end before its
    // start.
    auto after = std::lower_bound(
        starts.begin(), starts.end(),
        static_cast<uint32_t>(std::min<uint64_t>(
            (region.second + kSector - 1) / kSector, UINT32_MAX)));
    overlap = overlap ||
              (after != starts.begin() &&
               uint64_t{*std::prev(after)} * kSector + stored > region.first);
    layer->used_end = std::max(layer->used_end, region.second);
  }
  if (overlap) {
    return Fail(why, "holds VHD blocks that overlap each other or its tables");
  }
  if (!starts.empty()) {
    layer->used_end =
        std::max(layer->used_end, uint64_t{starts.back()} * kSector + stored);
  }
  return true;
}

bool Open(Layer* layer, std::string* why) {
  int fd = layer->fd;
  uint64_t file_size = FileSize(fd);
  // The footer at the end is the one emulators read (86Box's minivhd,
  // manage.c mvhd_file_is_vhd and read_footer); the copy at the start is
  // for readers of a parent that lost its end. Footer and header must
  // sum right (mvhd_open: footer_checksum_valid, sparse_checksum_valid).
  std::string footer = EndFooter(fd);
  bool at_end = IsFooter(footer);
  if (!at_end) footer = ReadAt(fd, 0, kFooterSize);
  if (!IsFooter(footer)) return Fail(why, "holds no VHD footer");
  if (BigEndian(footer, kFooterChecksum, 4) !=
      Checksum(footer, kFooterChecksum)) {
    return Fail(why, "holds a VHD footer whose checksum is wrong");
  }
  VhdType type = TypeIn(footer);
  layer->footer = footer;
  layer->size = BigEndian(footer, 48, 8);
  layer->id = footer.substr(68, 16);
  if (type == kVhdNone || BigEndian(footer, 12, 2) != 1 || layer->size == 0 ||
      layer->size % kSector != 0) {
    return Fail(why, "is a VHD of a kind this program cannot read");
  }
  if (footer[kSavedState] != 0) {
    layer->saved_state = "a saved Virtual PC machine holds its state";
  }
  if (type == kVhdFixed) return OpenFixed(layer, file_size, why);
  if (!at_end) {
    return Fail(why, "holds no VHD footer at its end, where emulators read it");
  }
  uint64_t header_at = BigEndian(footer, 16, 8);
  if (header_at % kSector != 0) {
    return Fail(why, "holds a VHD header off a sector's start");
  }
  if (header_at > file_size ||
      file_size - header_at < kHeaderSize + kFooterSize) {
    return Fail(why, "holds a VHD header past its end");
  }
  layer->header = ReadAt(fd, header_at, kHeaderSize);
  const std::string& header = layer->header;
  if (header.size() != kHeaderSize ||
      header.compare(0, 8, kHeaderCookie) != 0 ||
      BigEndian(header, kHeaderChecksum, 4) !=
          Checksum(header, kHeaderChecksum) ||
      BigEndian(header, 24, 4) != 0x00010000) {
    return Fail(why, "holds a VHD header this program cannot read");
  }
  layer->table_at = BigEndian(header, 16, 8);
  uint64_t entries = BigEndian(header, 28, 4);
  layer->block = BigEndian(header, 32, 4);
  layer->parent_id = header.substr(40, 16);
  uint64_t block = layer->block;
  if (block < kSector || block > kLargestBlock || (block & (block - 1)) ||
      entries > kMostBlocks || entries * block < layer->size) {
    return Fail(why, "holds a VHD block table this program cannot read");
  }
  layer->bitmap = RoundToSector((block / kSector + 7) / 8);
  layer->has_parent = type == kVhdDifferencing;
  if (type == kVhdDynamic) {
    layer->qemu_driver = "vpc";
    layer->qemu_writes = true;
  }
  return ReadTable(layer, header_at, entries, file_size, why);
}

bool Claims(int fd, const std::string&) {
  return VhdTypeOf(fd) == kVhdDifferencing;
}

// In 86Box's order (minivhd, manage.c get_diff_parent_path): the relative
// locator, the parent's name beside the child, the absolute locator; then
// the locators other tools write. The parent must be the one the child's
// parent UUID names (mvhd_open).
ParentPlaces Places(const Layer& child) {
  ParentPlaces places;
  std::string folder = child.path.substr(0, child.path.rfind('/'));
  if (folder.empty()) folder = "/";
  auto add = [&](const std::string& candidate, bool relative) {
    if (candidate.empty()) return;
    std::string full = candidate;
    if (relative || candidate[0] != '/') {
      full = folder + "/" +
             (candidate.compare(0, 2, "./") == 0 ? candidate.substr(2)
                                                 : candidate);
    }
    std::vector<std::string>& found = places.decisive;
    if (std::find(found.begin(), found.end(), full) == found.end()) {
      found.push_back(full);
    }
  };
  auto locators = [&](uint32_t code) {
    for (int i = 0; i < 8; ++i) {
      if (LocatorCode(child.header, i) != code) continue;
      std::string data = ReadAt(child.fd, LocatorOffset(child.header, i),
                                LocatorLength(child.header, i));
      bool relative = code == kRelativeUtf16 || code == kRelativeAnsi;
      std::string local;
      if (code == kFileUrl) {
        local = UrlPath(data.substr(0, data.find('\0')));
      } else if (code == kRelativeUtf16 || code == kAbsoluteUtf16) {
        local = LocalPath(FromUtf16(data, false));
      } else {
        local = LocalPath(data.substr(0, data.find('\0')));
      }
      if (!relative && !local.empty() && local[0] != '/') continue;
      add(local, relative);
    }
  };
  locators(kRelativeUtf16);
  std::string name = FromUtf16(child.header.substr(64, 512), true);
  size_t separator = name.find_last_of("/\\");
  if (separator != std::string::npos) name = name.substr(separator + 1);
  if (name != "." && name != "..") add(name, true);
  for (uint32_t code :
       {kAbsoluteUtf16, kFileUrl, kRelativeAnsi, kAbsoluteAnsi}) {
    locators(code);
  }
  if (places.decisive.empty()) {
    places.unnamed = "names no parent that can be found here";
  }
  return places;
}

bool IsParent(const Layer& child, const Layer& parent, std::string* why) {
  return IdNamesParent(child, parent, "unique id", why);
}

// A differencing disk's sector whose bit is clear comes from its parent,
// bits from each byte's most significant (minivhd_io.c mvhd_diff_read,
// VHD_TESTBIT).
LayerSource Find(const Layer& layer, uint64_t offset, uint64_t* run,
                 uint64_t* at) {
  if (layer.block == 0) {  // a fixed disk
    *run = layer.size - offset;
    *at = offset;
    return kInLayer;
  }
  uint64_t block = offset / layer.block;
  uint64_t within = offset % layer.block;
  *run = std::min(layer.block - within, layer.size - offset);
  uint32_t entry;
  if (!TableEntry(layer, block, &entry)) return kUnreadable;
  if (entry == kAbsent) return kBelowLayer;
  *at = uint64_t{entry} * kSector + layer.bitmap + within;
  if (!layer.has_parent) return kInLayer;
  const std::string* bitmap =
      BlockBitmap(layer, block, uint64_t{entry} * kSector, layer.bitmap);
  if (!bitmap) return kUnreadable;
  uint64_t first = within / kSector;
  bool own;
  uint64_t past = BitRun(*bitmap, first, first + RoundToSector(*run) / kSector,
                         false, &own);
  *run = std::min(*run, (past - first) * kSector);
  return own ? kInLayer : kBelowLayer;
}

void SetBit(std::string* bitmap, uint64_t sector) {
  (*bitmap)[sector / 8] =
      static_cast<char>((*bitmap)[sector / 8] | 0x80 >> sector % 8);
}

// A commit into a differencing disk. A block it lacks goes past
// everything the disk owns, where a block added but never entered in the
// table is added again in its place; the footer moves past the new blocks
// first where they reach it, and the file never gets shorter. Then the
// changed sectors' data, synced; then the new blocks' bitmaps, synced;
// then their table entries and the old blocks' new bits, synced. Only the
// changed sectors get bits, so the parent still shows through the rest.
// 86Box places a new block where the footer was and writes the footer
// after it, as here (minivhd_io.c create_block, mvhd_sparse_diff_write).
bool Write(Layer* layer, const LayerChanges& changes) {
  int fd = layer->fd;
  uint64_t stored = layer->bitmap + layer->block;
  std::map<uint64_t, uint64_t> at;  // each changed block's bitmap
  std::map<uint64_t, bool> added;   // and whether it is new
  uint64_t end = layer->used_end;
  for (const auto& [block, runs] : changes.blocks) {
    uint32_t entry;
    if (!TableEntry(*layer, block, &entry)) return false;
    added[block] = entry == kAbsent;
    if (entry != kAbsent) {
      at[block] = uint64_t{entry} * kSector;
    } else {
      at[block] = end;
      end += stored;
    }
  }
  if (end + kFooterSize > FileSize(fd) &&
      !(LayerWriteAt(fd, layer->footer.data(), kFooterSize, end) &&
        fdatasync(fd) == 0)) {
    return false;
  }
  for (const auto& [block, runs] : changes.blocks) {
    if (!WriteRunsInPlace(*layer, changes, block, at[block] + layer->bitmap)) {
      return false;
    }
  }
  if (fdatasync(fd) != 0) return false;
  std::map<uint64_t, std::string> bits;
  for (const auto& [block, runs] : changes.blocks) {
    std::string bitmap = added[block] ? std::string(layer->bitmap, '\0')
                                      : ReadAt(fd, at[block], layer->bitmap);
    if (bitmap.size() != layer->bitmap) return false;
    for (const auto& [first, count] : runs) {
      for (uint64_t s = first; s < first + count; ++s) {
        SetBit(&bitmap, s - block * layer->block / kSector);
      }
    }
    if (added[block] &&
        !LayerWriteAt(fd, bitmap.data(), bitmap.size(), at[block])) {
      return false;
    }
    bits[block] = bitmap;
  }
  if (fdatasync(fd) != 0) return false;
  std::map<uint64_t, uint32_t> entries;
  for (const auto& [block, bitmap] : bits) {
    if (added[block]) {
      entries[block] = static_cast<uint32_t>(at[block] / kSector);
    } else if (!LayerWriteAt(fd, bitmap.data(), bitmap.size(), at[block])) {
      return false;
    }
  }
  return WriteTableEntries(*layer, entries);
}

}  // namespace

VhdType VhdTypeOf(int fd) {
  VhdType type = TypeIn(EndFooter(fd));
  return type != kVhdNone ? type : TypeIn(ReadAt(fd, 0, kFooterSize));
}

bool QemuSeesVhd(int fd) {
  return ReadAt(fd, 0, 8) == kFooterCookie;
}

// The footer at the end, else its copy at the start.
static std::string AnyFooter(int fd) {
  std::string footer = EndFooter(fd);
  return IsFooter(footer) ? footer : ReadAt(fd, 0, kFooterSize);
}

std::string VhdUniqueId(int fd) {
  std::string footer = AnyFooter(fd);
  return TypeIn(footer) != kVhdNone ? footer.substr(68, 16) : "";
}

std::string VhdParentId(int fd) {
  std::string footer = AnyFooter(fd);
  if (TypeIn(footer) != kVhdDifferencing) return "";
  std::string header = ReadAt(fd, BigEndian(footer, 16, 8), kHeaderSize);
  if (header.size() != kHeaderSize ||
      header.compare(0, 8, kHeaderCookie) != 0) {
    return "";
  }
  return header.substr(40, 16);
}

const LayerFormat kVhdFormat = {
    "vhd-differencing", Claims, Open,  Places,  nullptr,
    IsParent,           Find,   Write, nullptr,
};
