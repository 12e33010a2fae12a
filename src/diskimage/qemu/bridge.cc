#include "diskimage/qemu/bridge.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <functional>

#include "diskimage/qemu/tools.h"
#include "diskimage/qemu/view.h"
#include "helpers/io.h"
#include "helpers/scratch.h"

namespace {

const uint64_t kWindow = 1 << 20;  // written at a time

// Hands `use` each run of the disk that the qcow2 must hold: where a layer
// above `bottom` holds the sectors itself, or reads them as zeros whatever
// is below; and where the bottom holds sectors QEMU does not show of it
// (from `bottom_size` up to the bottom's own size). Past those, QEMU reads
// the bottom, or zeros past its end, as the chain does. The disk is
// stepped through a block of each layer at a time, so that the cost
// follows the layers' tables and what they hold, never the disk's size
// (a top layer larger than its base, as VirtualBox resizes the last
// image of a chain, costs nothing for the difference).
bool HeldRuns(const Chain& chain, size_t bottom, uint64_t bottom_size,
              const std::function<bool(uint64_t, uint64_t)>& use) {
  uint64_t size = chain[0].size;
  uint64_t unshown_end = bottom < chain.size() ? chain[bottom].size : 0;
  uint64_t run_start = 0, run_end = 0;  // the held run being gathered
  for (uint64_t offset = 0; offset < size;) {
    uint64_t step = size - offset;
    bool held = false;
    if (offset < bottom_size) {
      step = std::min(step, bottom_size - offset);
    } else if (offset < unshown_end) {
      step = std::min(step, unshown_end - offset);
      held = true;
    }
    bool given = false;  // by a layer above
    for (size_t level = 0; level < bottom && level < chain.size(); ++level) {
      const Layer& layer = chain[level];
      if (offset >= layer.size) continue;
      uint64_t run = 0, at = 0;
      LayerSource source = layer.format->find(layer, offset, &run, &at);
      if (source == kUnreadable) return false;
      step = std::min({step, run, layer.size - offset});
      if (given || source == kBelowLayer) continue;
      given = true;
      // Over a bottom QEMU reads, zeros must be held too. A raw bridge
      // starts as zeros: what reads as zeros, a layer's file's holes too,
      // is not copied, so that a table naming millions of blocks in holes
      // costs neither time nor scratch space.
      held = held || bottom < chain.size() ||
             (source == kInLayer && !StoredHole(layer, at, run));
    }
    if (held && offset == run_end) {
      run_end += step;
    } else if (held) {
      if (run_end > run_start && !use(run_start, run_end - run_start)) {
        return false;
      }
      run_start = offset;
      run_end = offset + step;
    }
    offset += step;
  }
  return run_end == run_start || use(run_start, run_end - run_start);
}

// Writes into `view` what HeldRuns names, as the chain composes it.
bool Fill(const Chain& chain, size_t bottom, uint64_t bottom_size, int view) {
  std::string bytes;
  return HeldRuns(
      chain, bottom, bottom_size, [&](uint64_t at, uint64_t length) {
        for (uint64_t end = at + length; at < end; at += bytes.size()) {
          bytes.resize(std::min(kWindow, end - at));
          if (!ReadComposed(chain, 0, at, &bytes[0], bytes.size()) ||
              !WriteAll(view, bytes.data(), bytes.size(),
                        static_cast<int64_t>(at))) {
            return false;
          }
        }
        return true;
      });
}

// Whether QEMU's view of the bottom alone is not the disk: a layer above
// it holds a sector, or QEMU shows less than the chain's size.
bool HoldsAnything(const Chain& chain, size_t bottom, uint64_t bottom_size) {
  if (bottom_size < chain[0].size) return true;
  bool any = false;
  bool read = HeldRuns(chain, bottom, bottom_size, [&](uint64_t, uint64_t) {
    any = true;
    return false;  // one is enough
  });
  return any || !read;
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
  if (bridge->fd < 0 ||
      ftruncate(bridge->fd, static_cast<off_t>(chain[0].size)) != 0 ||
      !Fill(chain, chain.size(), chain[0].size, bridge->fd)) {
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
    ok = disk >= 0 && Fill(chain, bottom, bottom_size, disk);
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
