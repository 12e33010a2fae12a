#include "diskimage/formats/vhdx.h"

#include <ctype.h>
#include <stdint.h>

#include <algorithm>

#include "diskimage/formats/bytes.h"
#include "helpers/io.h"

namespace {

const uint64_t kRegions = uint64_t{192} * 1024;
const uint64_t kTable = uint64_t{64} * 1024;
const uint64_t kLargestItem = uint64_t{64} * 1024;
const uint64_t kHasParent = 2;
// GUIDs as VHDX stores them: the first three fields little-endian.
const char kMetadataRegion[] =
    "\x06\xA2\x7C\x8B\x90\x47\x9A\x4B\xB8\xFE\x57\x5F\x05\x0F\x88\x6E";
const char kFileParameters[] =
    "\x37\x67\xA1\xCA\x36\xFA\x43\x4D\xB3\xB6\x33\xF0\xAA\x44\xE7\x6B";
const char kParentLocator[] =
    "\x2D\x5F\xD3\xA8\x0B\xB3\x4D\x45\xAB\xF7\xD3\xD8\x48\x34\xAB\x0C";

// The metadata item of GUID `item` (16 bytes), at most kLargestItem of
// it; "" where there is none.
std::string MetadataItem(int fd, const char* item) {
  if (ReadAt(fd, 0, 8) != "vhdxfile") return "";
  std::string regions = ReadAt(fd, kRegions, kTable);
  if (regions.size() < 16 || regions.compare(0, 4, "regi") != 0) return "";
  uint64_t count = LittleEndian(regions, 8, 4);
  for (uint64_t i = 0; i < count && 16 + 32 * (i + 1) <= regions.size(); ++i) {
    size_t at = 16 + 32 * i;
    if (regions.compare(at, 16, kMetadataRegion, 16) != 0) continue;
    uint64_t start = LittleEndian(regions, at + 16, 8);
    std::string table = ReadAt(fd, start, kTable);
    if (table.size() < 32 || table.compare(0, 8, "metadata") != 0) return "";
    uint64_t entries = LittleEndian(table, 10, 2);
    for (uint64_t e = 0; e < entries && 32 + 32 * (e + 1) <= table.size();
         ++e) {
      size_t entry = 32 + 32 * e;
      if (table.compare(entry, 16, item, 16) != 0) continue;
      return ReadAt(fd, start + LittleEndian(table, entry + 16, 4),
                    std::min(LittleEndian(table, entry + 20, 4), kLargestItem));
    }
  }
  return "";
}

}  // namespace

bool VhdxHasParent(int fd) {
  std::string parameters = MetadataItem(fd, kFileParameters);
  return parameters.size() >= 8 &&
         (LittleEndian(parameters, 4, 4) & kHasParent) != 0;
}

std::string VhdxDataWriteGuid(int fd) {
  if (ReadAt(fd, 0, 8) != "vhdxfile") return "";
  std::string best;
  uint64_t sequence = 0;
  for (uint64_t at : {uint64_t{64} * 1024, uint64_t{128} * 1024}) {
    std::string header = ReadAt(fd, at, 48);
    if (header.size() != 48 || header.compare(0, 4, "head") != 0) continue;
    if (best.empty() || LittleEndian(header, 8, 8) > sequence) {
      sequence = LittleEndian(header, 8, 8);
      best = GuidText(header.substr(32, 16));
    }
  }
  return best;
}

std::string VhdxParentLinkage(int fd) {
  std::string locator = MetadataItem(fd, kParentLocator);
  if (locator.size() < 20) return "";
  // Keys and values in UTF-16, each named by offset and length.
  auto text = [&](uint64_t offset, uint64_t size) {
    std::string out;
    for (uint64_t c = 0; c + 1 < size && offset + c + 1 < locator.size();
         c += 2) {
      out += static_cast<char>(tolower(locator[offset + c]));
    }
    return out;
  };
  uint64_t pairs = LittleEndian(locator, 18, 2);
  for (uint64_t k = 0; k < pairs && 20 + 12 * (k + 1) <= locator.size(); ++k) {
    size_t pair = 20 + 12 * k;
    if (text(LittleEndian(locator, pair, 4),
             LittleEndian(locator, pair + 8, 2)) != "parent_linkage") {
      continue;
    }
    std::string value = text(LittleEndian(locator, pair + 4, 4),
                             LittleEndian(locator, pair + 10, 2));
    if (!value.empty() && value.front() == '{') value.erase(0, 1);
    if (!value.empty() && value.back() == '}') value.pop_back();
    return value;
  }
  return "";
}
