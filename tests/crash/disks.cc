// The disks of the program's own formats for the crash suite (suite), made
// and read back by the tests' equipment, which is kept apart from the
// program's readers and writers: children of a differencing VHD or VDI
// parent, Bochs' disks made through bximage, and 86Box's HDI and HDX (a
// header of 86Box's "new disk" dialog before a raw disk).
//
//   disks vhd|vdi BEFORE AFTER PARENT CHILD   a child over PARENT (made
//                                            from BEFORE) composing AFTER
//   disks growing|undoable|sparse BEFORE AFTER IMAGE    (bochs_disks.h)
//   disks hdi|hdx RAW IMAGE                   RAW behind a header
//   disks compose vhd|vdi RAW CHILD PARENT    the chain's disk, into RAW
#include <stdint.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "support/bochs_disks.h"
#include "support/program.h"
#include "support/vdi_chain.h"
#include "support/vhd_chain.h"

namespace {

// `value`, `size` bytes little endian, at `at` of `bytes`.
void Put(std::string* bytes, size_t at, int size, uint64_t value) {
  for (int i = 0; i < size; ++i) {
    (*bytes)[at + i] = static_cast<char>(value >> 8 * i);
  }
}

// 86Box's header for `size` bytes, 16 heads of 64 sectors a track.
std::string Header(bool hdx, uint64_t size) {
  std::string header(hdx ? 0x28 : 4096, '\0');
  uint64_t cylinders = size / 512 / 64 / 16;
  if (hdx) {
    Put(&header, 0, 8, 0xD778A82044445459);
    Put(&header, 0x8, 8, size);
  } else {
    Put(&header, 0x8, 4, header.size());
    Put(&header, 0xC, 4, size);
  }
  Put(&header, 0x10, 4, 512);
  Put(&header, 0x14, 4, 64);
  Put(&header, 0x18, 4, 16);
  Put(&header, 0x1C, 4, cylinders);
  return header;
}

int Usage() {
  fprintf(stderr, "usage: see tests/crash/disks.cc\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return Usage();
  std::string what = argv[1];
  if ((what == "vhd" || what == "vdi") && argc == 6) {
    std::string parent = argv[4];
    if (what == "vdi") {
      WriteVdiChild(parent, argv[5], argv[2], argv[3]);
    } else {
      std::string name = parent.substr(parent.rfind('/') + 1);
      WriteVhdChild(parent, argv[5], argv[2], argv[3],
                    {".\\" + name, "", "", name});
    }
    return ReadFile(argv[5]).empty() ? 1 : 0;
  }
  if (argc == 5 &&
      (what == "growing" || what == "undoable" || what == "sparse")) {
    BochsMode mode = what == "growing"    ? kBochsGrowing
                     : what == "undoable" ? kBochsUndoable
                                          : kBochsSparse;
    MakeBochsDisk(mode, argv[4], argv[2], argv[3]);
    return ReadFile(BochsWritten(mode, argv[4])).empty() ? 1 : 0;
  }
  if ((what == "hdi" || what == "hdx") && argc == 4) {
    std::string raw = ReadFile(argv[2]);
    std::ofstream out(argv[3], std::ios::binary | std::ios::trunc);
    if (raw.empty() || raw.size() % (uint64_t{512} * 64 * 16) != 0) return 1;
    out << Header(what == "hdx", raw.size()) << raw;
    return out.good() ? 0 : 1;
  }
  if (what == "compose" && argc == 6) {
    std::string kind = argv[2];
    bool composed = kind == "vdi"
                        ? ComposeVdiChain({argv[4], argv[5]}, argv[3])
                        : ComposeVhdChain({argv[4], argv[5]}, argv[3]);
    return composed ? 0 : 1;
  }
  return Usage();
}
