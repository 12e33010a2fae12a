#include "diskimage/bridge.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

#include "diskimage/qemu.h"
#include "diskimage/view.h"
#include "helpers/io.h"
#include "helpers/scratch.h"

namespace {

const uint64_t kWindow = 1 << 20;  // looked at and written at a time

// Whether a differencing disk of the chain holds any block, or QEMU shows
// less of the bottom disk than the chain's size.
bool HoldsAnything(const VhdChain& chain, uint64_t bottom_size) {
  if (bottom_size < chain[0].size) return true;
  for (size_t level = 0; level + 1 < chain.size(); ++level) {
    for (uint32_t entry : chain[level].table) {
      if (entry != kVhdAbsent) return true;
    }
  }
  return false;
}

// Writes into `view` every sector a differencing disk holds, and every one
// past `bottom_size`, as the chain composes it.
bool Fill(const VhdChain& chain, uint64_t bottom_size, int view) {
  uint64_t size = chain[0].size;
  std::vector<bool> present;
  std::string bytes;
  for (uint64_t offset = 0; offset < size; offset += kWindow) {
    uint64_t first = offset / kVhdSector;
    present.assign(std::min(kWindow, size - offset) / kVhdSector, false);
    for (size_t level = 0; level + 1 < chain.size(); ++level) {
      if (!MarkPresent(chain[level], first, &present)) return false;
    }
    for (size_t i = 0; i < present.size(); ++i) {
      if ((first + i) * kVhdSector >= bottom_size) present[i] = true;
    }
    for (size_t i = 0; i < present.size();) {
      if (!present[i]) {
        ++i;
        continue;
      }
      size_t run = i;
      while (run < present.size() && present[run]) ++run;
      uint64_t at = (first + i) * kVhdSector;
      bytes.resize((run - i) * kVhdSector);
      if (!ReadComposed(chain, 0, at, &bytes[0], bytes.size()) ||
          !WriteAll(view, bytes.data(), bytes.size(),
                    static_cast<int64_t>(at))) {
        return false;
      }
      i = run;
    }
  }
  return true;
}

}  // namespace

bool OpenBridge(const VhdChain& chain, const std::string& bottom,
                uint64_t bottom_size, const std::string& image,
                Bridge* bridge) {
  *bridge = Bridge();
  std::string parent =
      "driver=vpc,read-only=on,file.driver=file,file.locking=off,"
      "file.filename=" +
      OptionValue(bottom);
  if (!HoldsAnything(chain, bottom_size)) {
    bridge->nodes = {parent + ",node-name=image"};
    return true;
  }
  bridge->fd = ScratchFile();
  // QEMU's tools reach the unnamed file through this process's descriptor.
  std::string path =
      "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(bridge->fd);
  std::string file =
      "driver=file,node-name=bridge-file,locking=off,"
      "cache.no-flush=on,filename=" +
      OptionValue(path);
  RawView view;
  bool ok = bridge->fd >= 0 &&
            RunQemuTool(image, {"qemu-img", "create", "-q", "-f", "qcow2", path,
                                std::to_string(chain[0].size)}) == 0 &&
            OpenRawView({parent + ",node-name=parent", file,
                         "driver=qcow2,node-name=disk,file=bridge-file,"
                         "backing=parent"},
                        true, ImageFolder(image), &view);
  if (ok) {
    int disk = open(view.disk.c_str(), O_WRONLY | O_CLOEXEC);
    ok = disk >= 0 && Fill(chain, bottom_size, disk);
    if (disk >= 0) ok = close(disk) == 0 && ok;
    ok = CloseRawView(&view) && ok;
  }
  if (!ok) {
    CloseBridge(bridge);
    return false;
  }
  bridge->nodes = {parent + ",node-name=parent", file + ",read-only=on",
                   "driver=qcow2,node-name=image,file=bridge-file,"
                   "backing=parent,read-only=on"};
  return true;
}

void CloseBridge(Bridge* bridge) {
  if (bridge->fd >= 0) close(bridge->fd);
  *bridge = Bridge();
}
