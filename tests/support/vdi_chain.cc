#include "support/vdi_chain.h"

#include <gtest/gtest.h>
#include <stdint.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "support/program.h"

namespace {

const uint64_t kSector = 512;
const uint64_t kBlock = 1 << 20;
const uint32_t kFree = 0xFFFFFFFF;
const uint32_t kZero = 0xFFFFFFFE;

uint64_t Get(const std::string& bytes, size_t at, int size) {
  uint64_t value = 0;
  for (int i = size - 1; i >= 0; --i) {
    value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
  }
  return value;
}

void Put(std::string* bytes, size_t at, int size, uint64_t value) {
  for (int i = 0; i < size; ++i, value >>= 8) {
    (*bytes)[at + i] = static_cast<char>(value & 0xFF);
  }
}

struct Vdi {
  std::string file;
  uint64_t size = 0, block = 0, extra = 0, data = 0;
  std::vector<uint32_t> map;
};

bool Load(const std::string& path, Vdi* vdi) {
  vdi->file = ReadFile(path);
  const std::string& f = vdi->file;
  if (f.size() < 0x200 || Get(f, 0x40, 4) != 0xBEDA107F) return false;
  uint64_t blocks_at = Get(f, 0x154, 4);
  vdi->data = Get(f, 0x158, 4);
  vdi->size = Get(f, 0x170, 8);
  vdi->block = Get(f, 0x178, 4);
  vdi->extra = Get(f, 0x17C, 4);
  uint64_t count = Get(f, 0x180, 4);
  if (f.size() < blocks_at + 4 * count) return false;
  for (uint64_t i = 0; i < count; ++i) {
    vdi->map.push_back(static_cast<uint32_t>(Get(f, blocks_at + 4 * i, 4)));
  }
  return true;
}

}  // namespace

void WriteVdiChild(const std::string& parent, const std::string& child,
                   const std::string& before, const std::string& after,
                   const VdiLayout& layout) {
  Vdi base;
  ASSERT_TRUE(Load(parent, &base)) << parent;
  uint64_t size = layout.size ? layout.size : base.size;
  uint64_t block = layout.block, slot = layout.extra + block;
  std::string old_disk = layout.base ? "" : ReadFile(before);
  std::string new_disk = ReadFile(after);
  uint64_t count = (size + block - 1) / block;
  // Past both raw disks, every block is zeros on either side.
  uint64_t held =
      std::min(size, (std::max(old_disk.size(), new_disk.size()) + block - 1) /
                         block * block);
  old_disk.resize(held, '\0');
  new_disk.resize(held, '\0');
  uint64_t blocks_at = kBlock;
  uint64_t data = (blocks_at + 4 * count + kBlock - 1) / kBlock * kBlock;
  std::string header = base.file.substr(0, 0x200);
  Put(&header, 0x4C, 4, layout.base ? 1 : 4);  // dynamic, or differencing
  Put(&header, 0x154, 4, blocks_at);
  Put(&header, 0x158, 4, data);
  Put(&header, 0x170, 8, size);
  Put(&header, 0x178, 4, block);
  Put(&header, 0x17C, 4, layout.extra);
  Put(&header, 0x180, 4, count);
  header.replace(0x1A8, 16, base.file, 0x188, 16);  // the parent's UUID
  header.replace(0x1B8, 16, base.file, 0x198, 16);  // its modification's
  if (layout.base) header.replace(0x1A8, 32, std::string(32, '\0'));
  uint64_t id = std::hash<std::string>()(child);
  Put(&header, 0x188, 8, id);
  Put(&header, 0x190, 8, ~id);
  Put(&header, 0x198, 8, id * 3);
  Put(&header, 0x1A0, 8, ~id * 3);
  std::string map(4 * count, '\xFF');
  std::string blocks;
  uint32_t allocated = 0;
  for (uint64_t b = 0; b < count; ++b) {
    uint64_t at = b * block;
    if (at >= held) break;
    uint64_t length = std::min(block, held - at);
    if (old_disk.compare(at, length, new_disk, at, length) == 0) continue;
    // The extra bytes hold what no reader may take for the disk.
    std::string stored(layout.extra, '\xEE');
    stored += new_disk.substr(at, length);
    if (stored.find_first_not_of('\0', layout.extra) == std::string::npos) {
      Put(&map, 4 * b, 4, kZero);
      continue;
    }
    stored.resize(slot, '\0');
    Put(&map, 4 * b, 4, allocated++);
    blocks += stored;
  }
  Put(&header, 0x184, 4, allocated);
  std::string file = header;
  file.resize(blocks_at, '\0');
  file += map;
  file.resize(data, '\0');
  file += blocks;
  std::ofstream out(child, std::ios::binary | std::ios::trunc);
  out.write(file.data(), static_cast<std::streamsize>(file.size()));
}

bool ComposeVdiChain(const std::vector<std::string>& chain,
                     const std::string& raw, uint64_t size) {
  std::vector<Vdi> vdis(chain.size());
  for (size_t i = 0; i < chain.size(); ++i) {
    if (!Load(chain[i], &vdis[i])) return false;
  }
  std::string disk(size ? std::min(size, vdis[0].size) : vdis[0].size, '\0');
  for (uint64_t at = 0; at < disk.size(); at += kSector) {
    for (const Vdi& level : vdis) {
      if (at >= level.size) break;  // past a smaller parent: zeros
      uint32_t entry = level.map[at / level.block];
      if (entry == kFree) continue;
      if (entry != kZero) {
        uint64_t from = level.data + entry * (level.extra + level.block) +
                        level.extra + at % level.block;
        if (from + kSector > level.file.size()) return false;
        disk.replace(at, kSector, level.file, from, kSector);
      }
      break;
    }
  }
  std::ofstream out(raw, std::ios::binary | std::ios::trunc);
  out.write(disk.data(), static_cast<std::streamsize>(disk.size()));
  return static_cast<bool>(out);
}

std::string VdiUuid(const std::string& vdi) {
  std::string bytes = ReadFile(vdi).substr(0x188, 16);
  static const int kOrder[] = {3,  2, 1, 0,  -1, 5,  4,  -1, 7,  6,
                               -1, 8, 9, -1, 10, 11, 12, 13, 14, 15};
  std::string text = "{";
  for (int at : kOrder) {
    char hex[3];
    if (at < 0) {
      text += '-';
      continue;
    }
    snprintf(hex, sizeof hex, "%02x", static_cast<unsigned char>(bytes[at]));
    text += hex;
  }
  return text + "}";
}

void WriteVbox(const std::string& vbox, const std::string& name,
               const std::vector<std::string>& chain, bool saved) {
  std::string folder = std::filesystem::path(vbox).parent_path().string();
  auto at = [&](const std::string& location) {
    return location[0] == '/' ? location : folder + "/" + location;
  };
  std::string disks, close;
  for (const std::string& location : chain) {
    disks.append("<HardDisk uuid=\"")
        .append(VdiUuid(at(location)))
        .append("\" location=\"")
        .append(location)
        .append("\" format=\"VDI\" type=\"Normal\">");
    close.append("</HardDisk>");
  }
  std::ofstream(vbox)
      << "<?xml version=\"1.0\"?>\n<!-- made by the tests -->\n"
         "<VirtualBox xmlns=\"http://www.virtualbox.org/\" "
         "version=\"1.16-linux\">\n  <Machine uuid=\"{7e57}\" name=\""
      << name << "\" OSType=\"Windows95\" snapshotFolder=\"Snapshots\""
      << (saved ? " stateFile=\"Snapshots/saved.sav\"" : "")
      << ">\n    <MediaRegistry><HardDisks>" << disks << close
      << "</HardDisks></MediaRegistry>\n"
         "    <Snapshot uuid=\"{5}\" name=\"before\"><StorageControllers>"
         "<StorageController name=\"IDE\" type=\"PIIX4\"><AttachedDevice "
         "type=\"HardDisk\" port=\"0\" device=\"0\"><Image uuid=\""
      << VdiUuid(at(chain.front()))
      << "\"/></AttachedDevice></StorageController></StorageControllers>"
         "</Snapshot>\n    <Hardware><CPU count=\"1\"/></Hardware>\n"
         "    <StorageControllers>\n"
         "      <StorageController name=\"SATA\" type=\"AHCI\"/>\n"
         "      <StorageController name=\"IDE\" type=\"PIIX4\">\n"
         "        <AttachedDevice type=\"DVD\" port=\"1\" device=\"0\"/>\n"
         "        <AttachedDevice type=\"HardDisk\" port=\"0\" device=\"0\">"
         "<Image uuid=\""
      << VdiUuid(at(chain.back()))
      << "\"/></AttachedDevice>\n      </StorageController>\n"
         "    </StorageControllers>\n  </Machine>\n</VirtualBox>\n";
}
