#include "diskimage/qemu/bridge.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

#include "diskimage/qemu/tools.h"
#include "diskimage/qemu/view.h"
#include "helpers/io.h"
#include "helpers/scratch.h"

namespace {

const uint64_t kWindow = 1 << 20;  // looked at and written at a time

// Writes into `view` every sector a layer above `bottom` holds, and every
// one past `bottom_size`, as the chain composes it.
bool Fill(const Chain& chain, size_t bottom, uint64_t bottom_size, int view,
          bool* any) {
  uint64_t size = chain[0].size;
  std::vector<bool> held;
  std::string bytes;
  for (uint64_t offset = 0; offset < size; offset += kWindow) {
    uint64_t first = offset / kSector;
    held.assign(std::min(kWindow, size - offset) / kSector, false);
    if (!MarkHeld(chain, bottom, first, &held)) return false;
    for (size_t i = 0; i < held.size(); ++i) {
      if ((first + i) * kSector >= bottom_size) held[i] = true;
    }
    for (size_t i = 0; i < held.size();) {
      if (!held[i]) {
        ++i;
        continue;
      }
      size_t run = i;
      while (run < held.size() && held[run]) ++run;
      uint64_t at = (first + i) * kSector;
      bytes.resize((run - i) * kSector);
      *any = true;
      if (view < 0) return true;  // only asked whether any is held
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

// Whether a layer above `bottom` holds any sector, or QEMU shows less of
// the bottom than the chain's size.
bool HoldsAnything(const Chain& chain, size_t bottom, uint64_t bottom_size) {
  bool any = bottom_size < chain[0].size;
  return any || !Fill(chain, bottom, bottom_size, -1, &any) || any;
}

std::vector<std::string> Nodes(std::vector<std::string> first,
                               const std::vector<std::string>& then) {
  first.insert(first.end(), then.begin(), then.end());
  return first;
}

// The bridge of a chain QEMU reads no layer of: every sector a layer holds
// written into a sparse raw file, in place.
bool OpenRawBridge(const Chain& chain, Bridge* bridge) {
  bridge->fd = ScratchFile();
  bool any = false;
  if (bridge->fd < 0 ||
      ftruncate(bridge->fd, static_cast<off_t>(chain[0].size)) != 0 ||
      !Fill(chain, chain.size(), chain[0].size, bridge->fd, &any)) {
    CloseBridge(bridge);
    return false;
  }
  // mtools and QEMU's tools reach it through this process's descriptor.
  bridge->raw =
      "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(bridge->fd);
  bridge->nodes = {
      "driver=raw,node-name=image,read-only=on,file.driver=file,"
      "file.locking=off,file.filename=" +
      OptionValue(bridge->raw)};
  return true;
}

}  // namespace

bool OpenBridge(const Chain& chain, size_t bottom, uint64_t bottom_size,
                const std::string& image, Bridge* bridge) {
  *bridge = Bridge();
  if (bottom >= chain.size()) return OpenRawBridge(chain, bridge);
  std::string parent = "driver=" + chain[bottom].qemu_driver +
                       ",read-only=on,file.driver=file,file.locking=off,"
                       "file.filename=" +
                       OptionValue(chain[bottom].path);
  if (!HoldsAnything(chain, bottom, bottom_size)) {
    bridge->nodes = {parent + ",node-name=image"};
    return true;
  }
  std::string backing = ",backing=parent";
  std::vector<std::string> parents = {parent + ",node-name=parent"};
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
            OpenRawView(Nodes(parents, {file,
                                        "driver=qcow2,node-name=disk,"
                                        "file=bridge-file" +
                                            backing}),
                        true, ImageFolder(image), &view);
  if (ok) {
    int disk = open(view.disk.c_str(), O_WRONLY | O_CLOEXEC);
    bool any = false;
    ok = disk >= 0 && Fill(chain, bottom, bottom_size, disk, &any);
    if (disk >= 0) ok = close(disk) == 0 && ok;
    ok = CloseRawView(&view) && ok;
  }
  if (!ok) {
    CloseBridge(bridge);
    return false;
  }
  bridge->nodes = Nodes(
      parents,
      {file + ",read-only=on", "driver=qcow2,node-name=image,file=bridge-file" +
                                   backing + ",read-only=on"});
  return true;
}

void CloseBridge(Bridge* bridge) {
  if (bridge->fd >= 0) close(bridge->fd);
  *bridge = Bridge();
}
