#include "support/vhd_chain.h"

#include <gtest/gtest.h>
#include <stdint.h>

#include <fstream>
#include <functional>

#include "support/program.h"

namespace {

const uint64_t kSector = 512;
const uint64_t kBlock = 2 << 20;
const uint64_t kTableAt = 1536;

uint64_t Get(const std::string& bytes, size_t at, int size) {
  uint64_t value = 0;
  for (int i = 0; i < size; ++i) {
    value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
  }
  return value;
}

void Put(std::string* bytes, size_t at, int size, uint64_t value) {
  for (int i = size - 1; i >= 0; --i, value >>= 8) {
    (*bytes)[at + i] = static_cast<char>(value & 0xFF);
  }
}

void PutChecksum(std::string* bytes, size_t at) {
  Put(bytes, at, 4, 0);
  uint32_t sum = 0;
  for (char c : *bytes) sum += static_cast<unsigned char>(c);
  Put(bytes, at, 4, ~sum);
}

// ASCII text as UTF-16, little- or big-endian.
std::string Utf16(const std::string& text, bool big_endian) {
  std::string units;
  for (char c : text) {
    units += big_endian ? std::string{'\0', c} : std::string{c, '\0'};
  }
  return units;
}

// The footer: the copy at the start of a sparse disk, else the last sector.
std::string FooterOf(const std::string& file) {
  if (file.compare(0, 8, "conectix") == 0) return file.substr(0, kSector);
  return file.size() >= kSector ? file.substr(file.size() - kSector) : "";
}

bool BitSet(const std::string& file, uint64_t bitmap_at, uint64_t sector) {
  return static_cast<unsigned char>(file[bitmap_at + sector / 8]) &
         (0x80 >> sector % 8);
}

struct Disk {
  std::string file;
  uint64_t type = 0;
  uint64_t size = 0;
  uint64_t block = 0;
  uint64_t bitmap = 0;  // bytes before each block's data
  uint64_t table = 0;
  uint64_t entries = 0;
  // Where block `b`'s bitmap lies, or 0 when the disk lacks it.
  uint64_t BlockAt(uint64_t b) const {
    if (b >= entries) return 0;
    uint64_t entry = Get(file, table + 4 * b, 4);
    return entry == 0xFFFFFFFF ? 0 : entry * kSector;
  }
};

bool Load(const std::string& path, Disk* disk) {
  disk->file = ReadFile(path);
  std::string footer = FooterOf(disk->file);
  if (footer.compare(0, 8, "conectix") != 0) return false;
  disk->type = Get(footer, 60, 4);
  disk->size = Get(footer, 48, 8);
  if (disk->type == 2) return true;
  uint64_t header = Get(footer, 16, 8);
  if (disk->file.compare(header, 8, "cxsparse") != 0) return false;
  disk->table = Get(disk->file, header + 16, 8);
  disk->entries = Get(disk->file, header + 28, 4);
  disk->block = Get(disk->file, header + 32, 4);
  disk->bitmap = (disk->block / kSector / 8 + kSector - 1) / kSector * kSector;
  return disk->type == 3 || disk->type == 4;
}

}  // namespace

void WriteVhdChild(const std::string& parent, const std::string& child,
                   const std::string& before, const std::string& after,
                   const VhdLocators& locators, uint64_t slack) {
  std::string parent_footer = FooterOf(ReadFile(parent));
  ASSERT_EQ(parent_footer.compare(0, 8, "conectix"), 0) << parent;
  uint64_t size = Get(parent_footer, 48, 8);
  std::string old_disk = ReadFile(before);
  std::string new_disk = ReadFile(after);
  old_disk.resize(size, '\0');
  new_disk.resize(size, '\0');
  uint64_t entries = (size + kBlock - 1) / kBlock;

  std::string footer(kSector, '\0');
  footer.replace(0, 8, "conectix");
  Put(&footer, 8, 4, 2);
  Put(&footer, 12, 4, 0x00010000);
  Put(&footer, 16, 8, kSector);
  footer.replace(28, 4, "tvhd");
  footer.replace(36, 4, "Wi2k");
  Put(&footer, 40, 8, size);
  Put(&footer, 48, 8, size);
  footer.replace(56, 4, parent_footer, 56, 4);
  Put(&footer, 60, 4, 4);
  // A unique id of the child's own, from its name.
  uint64_t id = std::hash<std::string>()(child);
  Put(&footer, 68, 8, id);
  Put(&footer, 76, 8, ~id);
  PutChecksum(&footer, 64);

  std::string header(1024, '\0');
  header.replace(0, 8, "cxsparse");
  Put(&header, 8, 8, ~uint64_t{0});
  Put(&header, 16, 8, kTableAt);
  Put(&header, 24, 4, 0x00010000);
  Put(&header, 28, 4, entries);
  Put(&header, 32, 4, kBlock);
  header.replace(40, 16, parent_footer, 68, 16);
  header.replace(56, 4, parent_footer, 24, 4);
  std::string name = Utf16(locators.name, true).substr(0, 512);
  header.replace(64, name.size(), name);

  std::string file = footer + header;
  file.resize(kTableAt + (entries * 4 + kSector - 1) / kSector * kSector,
              '\xFF');
  struct Locator {
    uint32_t code;
    std::string data;
  } all[] = {{0x57327275, Utf16(locators.relative, false)},
             {0x57326B75, Utf16(locators.absolute, false)},
             {0x4D616358, locators.url}};
  int slot = 0;
  for (const Locator& locator : all) {
    if (locator.data.empty()) continue;
    size_t at = 512 + 576 + 24 * slot++;
    uint64_t sectors = (locator.data.size() + kSector - 1) / kSector;
    uint64_t space = locators.reserve ? locators.reserve : sectors * kSector;
    Put(&file, at, 4, locator.code);
    Put(&file, at + 4, 4, locators.reserve ? locators.reserve : sectors);
    Put(&file, at + 8, 4, locator.data.size());
    Put(&file, at + 16, 8, file.size());
    file += locator.data;
    file.resize(file.size() + (space - locator.data.size()), '\0');
  }
  std::string written_header = file.substr(kSector, 1024);
  PutChecksum(&written_header, 36);
  file.replace(kSector, 1024, written_header);

  // Each block that holds a changed sector: its bitmap, one bit a
  // changed sector, then its data, the unchanged sectors left zero.
  for (uint64_t b = 0; b < entries; ++b) {
    std::string bitmap(kSector, '\0');
    std::string data(kBlock, '\0');
    bool any = false;
    for (uint64_t s = 0; s < kBlock / kSector; ++s) {
      uint64_t at = b * kBlock + s * kSector;
      if (at >= size ||
          old_disk.compare(at, kSector, new_disk, at, kSector) == 0) {
        continue;
      }
      any = true;
      bitmap[s / 8] = static_cast<char>(bitmap[s / 8] | 0x80 >> s % 8);
      data.replace(s * kSector, kSector, new_disk, at, kSector);
    }
    if (!any) continue;
    Put(&file, kTableAt + 4 * b, 4, file.size() / kSector);
    file += bitmap + data;
  }
  file.resize(file.size() + slack, '\0');
  file += footer;
  std::ofstream out(child, std::ios::binary | std::ios::trunc);
  out.write(file.data(), static_cast<std::streamsize>(file.size()));
}

bool ComposeVhdChain(const std::vector<std::string>& chain,
                     const std::string& raw) {
  std::vector<Disk> disks(chain.size());
  for (size_t i = 0; i < chain.size(); ++i) {
    if (!Load(chain[i], &disks[i])) return false;
  }
  std::string disk(disks[0].size, '\0');
  for (uint64_t at = 0; at < disk.size(); at += kSector) {
    for (const Disk& level : disks) {
      if (level.type == 2) {
        disk.replace(at, kSector, level.file, at, kSector);
        break;
      }
      uint64_t block = level.BlockAt(at / level.block);
      uint64_t sector = at % level.block / kSector;
      if (level.type == 3) {
        if (block) {
          disk.replace(at, kSector, level.file,
                       block + level.bitmap + sector * kSector, kSector);
        }
        break;
      }
      if (block && BitSet(level.file, block, sector)) {
        disk.replace(at, kSector, level.file,
                     block + level.bitmap + sector * kSector, kSector);
        break;
      }
    }
  }
  std::ofstream out(raw, std::ios::binary | std::ios::trunc);
  out.write(disk.data(), static_cast<std::streamsize>(disk.size()));
  return static_cast<bool>(out);
}

std::vector<bool> WholeBitmapBytes(const std::vector<std::string>& chain) {
  std::vector<Disk> disks(chain.size());
  for (size_t i = 0; i < chain.size(); ++i) Load(chain[i], &disks[i]);
  std::vector<bool> whole(disks[0].size / kSector, true);
  for (const Disk& level : disks) {
    if (level.type != 4) continue;
    for (uint64_t s = 0; s < whole.size(); ++s) {
      uint64_t block = level.BlockAt(s * kSector / level.block);
      if (!block) continue;
      uint64_t within = s * kSector % level.block / kSector;
      unsigned char byte =
          static_cast<unsigned char>(level.file[block + within / 8]);
      if (byte != 0 && byte != 0xFF) whole[s] = false;
    }
  }
  return whole;
}
