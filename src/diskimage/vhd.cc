#include "diskimage/vhd.h"

#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

#include "diskimage/bytes.h"
#include "helpers/io.h"

namespace {

const char kFooterCookie[] = "conectix";
const char kHeaderCookie[] = "cxsparse";
const uint32_t kFooterSize = 512;
const uint32_t kHeaderSize = 1024;
const size_t kFooterChecksum = 64;
const size_t kHeaderChecksum = 36;
const uint32_t kLargestBlock = 256u << 20;
const uint32_t kMostBlocks = 1u << 22;  // 2 TiB in blocks of 512 KiB
const uint32_t kLongestLocator = 64 * 1024;

// The platform codes of parent locators, by how their path is stored.
const uint32_t kRelativeUtf16 = 0x57327275;  // "W2ru"
const uint32_t kAbsoluteUtf16 = 0x57326B75;  // "W2ku"
const uint32_t kFileUrl = 0x4D616358;        // "MacX"
const uint32_t kRelativeAnsi = 0x57693272;   // "Wi2r", an older form
const uint32_t kAbsoluteAnsi = 0x5769326B;   // "Wi2k", an older form

uint64_t RoundToSector(uint64_t bytes) {
  return (bytes + kVhdSector - 1) / kVhdSector * kVhdSector;
}

uint64_t FileSize(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

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

// The footer: its copy at the start, else the one at the end.
std::string Footer(int fd) {
  std::string footer = ReadAt(fd, 0, kFooterSize);
  if (footer.compare(0, 8, kFooterCookie) == 0) return footer;
  uint64_t size = FileSize(fd);
  return size >= kFooterSize ? ReadAt(fd, size - kFooterSize, kFooterSize) : "";
}

// Whether no two of `regions` (start, end) overlap.
bool Apart(std::vector<std::pair<uint64_t, uint64_t>> regions) {
  std::sort(regions.begin(), regions.end());
  for (size_t i = 1; i < regions.size(); ++i) {
    if (regions[i].first < regions[i - 1].second) return false;
  }
  return true;
}

// Reads data the disk stores at `at`; what lies past the file's end reads
// as zeros.
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

bool BitSet(const std::string& bitmap, uint64_t sector) {
  return static_cast<unsigned char>(bitmap[sector / 8]) & (0x80 >> sector % 8);
}

// Text of a path stored in UTF-16 (little- or big-endian) as UTF-8, up to
// its first NUL; empty when it is not well formed.
std::string FromUtf16(const std::string& bytes, bool big_endian) {
  std::string text;
  for (size_t at = 0; at + 1 < bytes.size(); at += 2) {
    uint32_t unit =
        big_endian ? BigEndian(bytes, at, 2) : LittleEndian(bytes, at, 2);
    if (unit == 0) break;
    if (unit >= 0xDC00 && unit < 0xE000) return "";
    if (unit >= 0xD800 && unit < 0xDC00) {
      at += 2;
      uint32_t low = at + 1 < bytes.size()
                         ? (big_endian ? BigEndian(bytes, at, 2)
                                       : LittleEndian(bytes, at, 2))
                         : 0;
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

}  // namespace

VhdType VhdTypeOf(int fd) {
  std::string footer = Footer(fd);
  if (footer.size() != kFooterSize || footer.compare(0, 8, kFooterCookie) != 0)
    return kVhdNone;
  uint64_t type = BigEndian(footer, 60, 4);
  if (type == kVhdFixed || type == kVhdDynamic || type == kVhdDifferencing) {
    return static_cast<VhdType>(type);
  }
  return kVhdNone;
}

bool ReadVhd(int fd, Vhd* vhd, std::string* why) {
  *vhd = Vhd();
  vhd->fd = fd;
  vhd->footer = Footer(fd);
  const std::string& footer = vhd->footer;
  if (footer.size() != kFooterSize || footer.compare(0, 8, kFooterCookie) != 0)
    return Fail(why, "holds no VHD footer");
  if (BigEndian(footer, kFooterChecksum, 4) !=
      Checksum(footer, kFooterChecksum)) {
    return Fail(why, "holds a VHD footer whose checksum is wrong");
  }
  vhd->type = VhdTypeOf(fd);
  vhd->size = BigEndian(footer, 48, 8);
  vhd->unique_id = footer.substr(68, 16);
  uint64_t file_size = FileSize(fd);
  if (vhd->type == kVhdNone || BigEndian(footer, 12, 2) != 1 ||
      vhd->size == 0 || vhd->size % kVhdSector != 0) {
    return Fail(why, "is a VHD of a kind this program cannot read");
  }
  if (vhd->type == kVhdFixed) {
    if (ReadAt(fd, 0, 8) == kFooterCookie || file_size < vhd->size + 512)
      return Fail(why, "is a fixed VHD whose footer is not at its end");
    vhd->used_end = vhd->size;
    return true;
  }
  uint64_t header_at = BigEndian(footer, 16, 8);
  vhd->header = ReadAt(fd, header_at, kHeaderSize);
  const std::string& header = vhd->header;
  if (header.size() != kHeaderSize ||
      header.compare(0, 8, kHeaderCookie) != 0 ||
      BigEndian(header, kHeaderChecksum, 4) !=
          Checksum(header, kHeaderChecksum) ||
      BigEndian(header, 24, 4) != 0x00010000) {
    return Fail(why, "holds a VHD header this program cannot read");
  }
  vhd->table_offset = BigEndian(header, 16, 8);
  uint64_t entries = BigEndian(header, 28, 4);
  vhd->block_size = static_cast<uint32_t>(BigEndian(header, 32, 4));
  vhd->parent_id = header.substr(40, 16);
  uint32_t block = vhd->block_size;
  if (block < kVhdSector || block > kLargestBlock || (block & (block - 1)) ||
      entries > kMostBlocks || entries * block < vhd->size) {
    return Fail(why, "holds a VHD block table this program cannot read");
  }
  vhd->bitmap_size =
      static_cast<uint32_t>(RoundToSector((block / kVhdSector + 7) / 8));
  std::string table = ReadAt(fd, vhd->table_offset, entries * 4);
  if (table.size() != entries * 4) {
    return Fail(why, "holds a VHD block table past its end");
  }
  // Whatever the disk's metadata names must lie apart, so that writing a
  // block never lands on anything else.
  std::vector<std::pair<uint64_t, uint64_t>> regions = {
      {0, kFooterSize},
      {header_at, header_at + kHeaderSize},
      {vhd->table_offset, vhd->table_offset + RoundToSector(entries * 4)}};
  for (int i = 0; i < 8; ++i) {
    size_t at = 576 + 24 * static_cast<size_t>(i);
    if (BigEndian(header, at, 4) == 0) continue;
    uint64_t start = BigEndian(header, at + 16, 8);
    regions.push_back(
        {start, start + RoundToSector(BigEndian(header, at + 8, 4))});
  }
  vhd->table.resize(entries);
  for (uint64_t i = 0; i < entries; ++i) {
    uint32_t entry = static_cast<uint32_t>(BigEndian(table, i * 4, 4));
    vhd->table[i] = entry;
    if (entry == kVhdAbsent) continue;
    uint64_t start = uint64_t{entry} * kVhdSector;
    regions.push_back({start, start + vhd->bitmap_size + block});
  }
  if (!Apart(regions)) {
    return Fail(why, "holds VHD blocks that overlap each other or its tables");
  }
  for (const auto& region : regions) {
    vhd->used_end = std::max(vhd->used_end, region.second);
  }
  return true;
}

std::vector<std::string> VhdParentCandidates(const Vhd& child,
                                             const std::string& folder) {
  std::vector<std::string> found;
  auto add = [&](const std::string& candidate, bool relative) {
    if (candidate.empty()) return;
    std::string full = candidate;
    if (relative || candidate[0] != '/') {
      full = folder + "/" +
             (candidate.compare(0, 2, "./") == 0 ? candidate.substr(2)
                                                 : candidate);
    }
    if (std::find(found.begin(), found.end(), full) == found.end()) {
      found.push_back(full);
    }
  };
  for (uint32_t code : {kRelativeUtf16, kAbsoluteUtf16, kFileUrl, kRelativeAnsi,
                        kAbsoluteAnsi}) {
    for (int i = 0; i < 8; ++i) {
      size_t at = 576 + 24 * static_cast<size_t>(i);
      if (BigEndian(child.header, at, 4) != code) continue;
      uint64_t length = BigEndian(child.header, at + 8, 4);
      if (length > kLongestLocator) continue;
      std::string data =
          ReadAt(child.fd, BigEndian(child.header, at + 16, 8), length);
      if (code == kFileUrl) {
        std::string url = data.substr(0, data.find('\0'));
        add(UrlPath(url), false);
      } else if (code == kRelativeUtf16 || code == kAbsoluteUtf16) {
        std::string local = LocalPath(FromUtf16(data, false));
        if (code == kAbsoluteUtf16 && !local.empty() && local[0] != '/') {
          continue;
        }
        add(local, code == kRelativeUtf16);
      } else {
        std::string local = LocalPath(data.substr(0, data.find('\0')));
        if (code == kAbsoluteAnsi && !local.empty() && local[0] != '/') {
          continue;
        }
        add(local, code == kRelativeAnsi);
      }
    }
  }
  // The parent's name, beside the child.
  std::string name = FromUtf16(child.header.substr(64, 512), true);
  size_t separator = name.find_last_of("/\\");
  if (separator != std::string::npos) name = name.substr(separator + 1);
  if (!name.empty() && name != "." && name != "..") add(name, true);
  return found;
}

bool ReadComposed(const VhdChain& chain, size_t level, uint64_t offset,
                  char* out, uint64_t size) {
  while (size > 0) {
    const Vhd* vhd = level < chain.size() ? &chain[level] : nullptr;
    if (!vhd || offset >= vhd->size) {
      memset(out, 0, size);
      return true;
    }
    uint64_t step = std::min(size, vhd->size - offset);
    if (vhd->type == kVhdFixed) {
      if (!ReadStored(vhd->fd, offset, out, step)) return false;
    } else {
      uint64_t block = offset / vhd->block_size;
      uint64_t within = offset % vhd->block_size;
      step = std::min(step, vhd->block_size - within);
      uint32_t entry = vhd->table[block];
      uint64_t data = uint64_t{entry} * kVhdSector + vhd->bitmap_size;
      if (entry == kVhdAbsent) {
        if (vhd->type == kVhdDynamic) {
          memset(out, 0, step);
        } else if (!ReadComposed(chain, level + 1, offset, out, step)) {
          return false;
        }
      } else if (vhd->type == kVhdDynamic) {
        if (!ReadStored(vhd->fd, data + within, out, step)) return false;
      } else {
        std::string bitmap =
            ReadAt(vhd->fd, data - vhd->bitmap_size, vhd->bitmap_size);
        if (bitmap.size() != vhd->bitmap_size) return false;
        // Runs of sectors alike: from this disk, or from the parent.
        uint64_t first = within / kVhdSector;
        uint64_t end = (within + step) / kVhdSector;
        for (uint64_t sector = first; sector < end;) {
          bool own = BitSet(bitmap, sector);
          uint64_t run = sector;
          while (run < end && BitSet(bitmap, run) == own) ++run;
          char* to = out + (sector - first) * kVhdSector;
          uint64_t bytes = (run - sector) * kVhdSector;
          bool read =
              own ? ReadStored(vhd->fd, data + sector * kVhdSector, to, bytes)
                  : ReadComposed(chain, level + 1,
                                 offset - within + sector * kVhdSector, to,
                                 bytes);
          if (!read) return false;
          sector = run;
        }
      }
    }
    out += step;
    offset += step;
    size -= step;
  }
  return true;
}

bool MarkPresent(const Vhd& vhd, uint64_t first, std::vector<bool>* present) {
  uint64_t per_block = vhd.block_size / kVhdSector;
  uint64_t end = first + present->size();
  for (uint64_t sector = first; sector < end;) {
    uint64_t block = sector / per_block;
    uint64_t block_end = std::min(end, (block + 1) * per_block);
    if (block < vhd.table.size() && vhd.table[block] != kVhdAbsent) {
      std::string bitmap = ReadAt(
          vhd.fd, uint64_t{vhd.table[block]} * kVhdSector, vhd.bitmap_size);
      if (bitmap.size() != vhd.bitmap_size) return false;
      for (uint64_t s = sector; s < block_end; ++s) {
        if (BitSet(bitmap, s - block * per_block)) (*present)[s - first] = true;
      }
    }
    sector = block_end;
  }
  return true;
}
