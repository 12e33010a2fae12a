// libFuzzer target: the fuzzer's bytes become a stranger's disk image or
// machine file, and everything that reads one before judging it must take
// it without crashing, reading past what it holds, or taking memory its
// size does not warrant: each format of the program's own (claimed,
// opened, and read through where it opens, as a chain's last layer), what
// a QEMU image names, what a file says it is built on, and machine files.
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "diskimage/engine/children.h"
#include "diskimage/engine/names.h"
#include "diskimage/formats/chain.h"
#include "diskimage/formats/layer.h"
#include "diskimage/machines/machine.h"

namespace {

std::string folder;

void Die(const char* what) {
  fprintf(stderr, "invariant broken: %s\n", what);
  abort();
}

// libFuzzer ends its runs with exit(): the scratch folder goes with them.
void RemoveFolder() {
  unlink((folder + "/input.img").c_str());
  rmdir(folder.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (folder.empty()) {
    char pattern[] = "/tmp/dossetup-image-fuzz-XXXXXX";
    if (!mkdtemp(pattern)) Die("no scratch folder");
    folder = pattern;
    atexit(RemoveFolder);
  }
  std::string path = folder + "/input.img";
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size)) {
    Die("cannot write the input");
  }
  for (const LayerFormat* const* format = LayerFormats(); *format; ++format) {
    (*format)->claims(fd, path);
    Chain chain(1);
    std::string why;
    if (!OpenLayer(*format, fd, path, &chain[0], &why)) continue;
    if (chain[0].size == 0) Die("opened a disk of no size");
    // As the chain's last layer: what it lacks reads as zeros.
    chain[0].has_parent = false;
    char buffer[4096];
    for (uint64_t at : {uint64_t{0}, chain[0].size / 2,
                        chain[0].size > 4096 ? chain[0].size - 4096 : 0}) {
      ReadComposed(chain, 0, at / kSector * kSector, buffer, sizeof buffer);
    }
  }
  std::string why;
  BackingNames(fd, size);
  CheckImageNames(path, fd, &why);
  FindChildren(path, fd, &why);
  MachineDisk machine;
  ReadMachineFile(path, &machine);
  close(fd);
  return 0;
}
