#include "diskimage/engine/unsupported.h"

#include "diskimage/formats/bytes.h"
#include "helpers/io.h"

namespace {

const uint64_t kVhdxRegions = uint64_t{192} * 1024;
const uint64_t kVhdxTable = uint64_t{64} * 1024;
const uint64_t kVhdxHasParent = 2;
// GUIDs as VHDX stores them: the first three fields little-endian.
const char kVhdxMetadataRegion[] =
    "\x06\xA2\x7C\x8B\x90\x47\x9A\x4B\xB8\xFE\x57\x5F\x05\x0F\x88\x6E";
const char kVhdxFileParameters[] =
    "\x37\x67\xA1\xCA\x36\xFA\x43\x4D\xB3\xB6\x33\xF0\xAA\x44\xE7\x6B";

// A VHDX whose file parameters say it has a parent.
bool DifferencingVhdx(int fd) {
  if (ReadAt(fd, 0, 8) != "vhdxfile") return false;
  std::string regions = ReadAt(fd, kVhdxRegions, kVhdxTable);
  if (regions.size() < 16 || regions.compare(0, 4, "regi") != 0) return false;
  uint64_t count = LittleEndian(regions, 8, 4);
  for (uint64_t i = 0; i < count && 16 + 32 * (i + 1) <= regions.size(); ++i) {
    size_t at = 16 + 32 * i;
    if (regions.compare(at, 16, kVhdxMetadataRegion, 16) != 0) continue;
    uint64_t start = LittleEndian(regions, at + 16, 8);
    std::string table = ReadAt(fd, start, kVhdxTable);
    if (table.size() < 32 || table.compare(0, 8, "metadata") != 0) {
      return false;
    }
    uint64_t entries = LittleEndian(table, 10, 2);
    for (uint64_t e = 0; e < entries && 32 + 32 * (e + 1) <= table.size();
         ++e) {
      size_t item = 32 + 32 * e;
      if (table.compare(item, 16, kVhdxFileParameters, 16) != 0) continue;
      std::string parameters =
          ReadAt(fd, start + LittleEndian(table, item + 16, 4), 8);
      return parameters.size() == 8 &&
             (LittleEndian(parameters, 4, 4) & kVhdxHasParent) != 0;
    }
  }
  return false;
}

}  // namespace

std::string UnsupportedChild(int fd) {
  if (DifferencingVhdx(fd)) return "a differencing VHDX: not supported";
  return "";
}
