#include "diskimage/volume/volume.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace {

const size_t kSector = 512;

uint32_t Little(const unsigned char* at, int bytes) {
  uint32_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = value << 8 | at[i];
  return value;
}

bool PowerOfTwo(uint32_t value) {
  return value != 0 && (value & (value - 1)) == 0;
}

// A FAT boot sector whose volume lies within `available` bytes.
bool IsFatBootSector(const unsigned char* sector, uint64_t available) {
  uint32_t bytes_per_sector = Little(sector + 11, 2);
  uint32_t total = Little(sector + 19, 2);
  if (total == 0) total = Little(sector + 32, 4);
  return (sector[0] == 0xEB || sector[0] == 0xE9) && bytes_per_sector >= 512 &&
         bytes_per_sector <= 4096 && PowerOfTwo(bytes_per_sector) &&
         PowerOfTwo(sector[13]) && Little(sector + 14, 2) >= 1 &&
         sector[16] >= 1 && (sector[21] == 0xF0 || sector[21] >= 0xF8) &&
         total > 0 && uint64_t{total} * bytes_per_sector <= available &&
         sector[510] == 0x55 && sector[511] == 0xAA;
}

bool ReadSector(int fd, uint64_t at, unsigned char (&sector)[kSector]) {
  return pread(fd, sector, kSector, static_cast<off_t>(at)) ==
         static_cast<ssize_t>(kSector);
}

bool IsFatPartitionType(unsigned char type) {
  static const unsigned char kTypes[] = {0x01, 0x04, 0x06, 0x0B, 0x0C, 0x0E};
  return std::find(std::begin(kTypes), std::end(kTypes), type) !=
         std::end(kTypes);
}

}  // namespace

bool FindVolume(const std::string& disk, uint64_t* offset, uint64_t* needed,
                uint64_t start, uint64_t length) {
  if (needed) *needed = 0;
  int fd = open(disk.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st;
  unsigned char sector[kSector];
  bool found = false;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
      static_cast<uint64_t>(st.st_size) > start &&
      ReadSector(fd, start, sector)) {
    uint64_t size = std::min(static_cast<uint64_t>(st.st_size) - start, length);
    if (IsFatBootSector(sector, size)) {
      *offset = 0;
      found = true;
    } else if (sector[510] == 0x55 && sector[511] == 0xAA) {
      // An MBR: the first primary partition of a FAT type, whole.
      unsigned char table[64];
      std::copy(sector + 446, sector + 510, table);
      for (size_t i = 0; i < 4 && !found; ++i) {
        const unsigned char* entry = table + 16 * i;
        uint64_t first = uint64_t{Little(entry + 8, 4)} * kSector;
        uint64_t part = uint64_t{Little(entry + 12, 4)} * kSector;
        if (!IsFatPartitionType(entry[4])) continue;
        if (needed) *needed = first + part;
        found = first > 0 && part > 0 && first + part <= size &&
                ReadSector(fd, start + first, sector) &&
                IsFatBootSector(sector, part);
        if (found) *offset = first;
        break;
      }
    }
  }
  close(fd);
  return found;
}
