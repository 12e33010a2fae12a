#include "diskimage/formats/chain.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <utility>

namespace {

const size_t kDeepest = 16;  // parents below the top

// A parent at fault, by its name.
ChainVerdict Fault(std::string* why, const std::string& name,
                   const std::string& reason,
                   ChainVerdict verdict = kChainRefused) {
  *why = "a file the image names: \"" + name + "\" " + reason;
  return verdict;
}

// Opens `path` read-only if it is a regular file; -1 with `*reason` set
// where it is not, or cannot be opened.
int OpenRegular(const std::string& path, std::string* reason) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    *reason = "cannot be looked at";
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {
    *reason = "is not a regular file";
    return -1;
  }
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  struct stat opened;
  if (fd >= 0 && (fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode) ||
                  opened.st_dev != st.st_dev || opened.st_ino != st.st_ino)) {
    close(fd);
    *reason = "changed while it was looked at";
    return -1;
  }
  if (fd < 0) *reason = std::string("cannot be read: ") + strerror(errno);
  return fd;
}

// Whether a file lies at `path` (a dangling link holds none); `*refused`
// when that cannot be told.
bool Exists(const std::string& path, bool* refused) {
  struct stat st;
  *refused = false;
  if (stat(path.c_str(), &st) == 0) return true;
  *refused = errno != ENOENT && errno != ENOTDIR;
  return *refused;
}

// Finds, opens and checks the parent of `child` into `parent`: at `named`
// where that is given.
ChainVerdict OpenParent(const Layer& child, const std::string& named,
                        Layer* parent, std::string* why) {
  ParentPlaces places;
  if (named.empty()) {
    places = child.format->parent_places(child);
  } else {
    places.decisive.push_back(named);
  }
  const LayerFormat* format =
      child.format->parent_format ? child.format->parent_format : child.format;
  std::string reason;
  for (const std::string& place : places.decisive) {
    bool refused = false;
    if (!Exists(place, &refused)) continue;
    int fd = refused ? -1 : OpenRegular(place, &reason);
    if (refused) reason = "cannot be looked at";
    if (fd < 0) return Fault(why, place, reason);
    if (!OpenLayer(format, fd, place, parent, &reason) ||
        !child.format->is_parent(child, *parent, &reason)) {
      close(fd);
      return Fault(why, place, reason);
    }
    return kChainOpen;
  }
  std::vector<std::string> found;
  for (const std::string& place : places.scanned) {
    int fd = OpenRegular(place, &reason);
    if (fd < 0) continue;
    Layer candidate;
    if (OpenLayer(format, fd, place, &candidate, &reason) &&
        child.format->is_parent(child, candidate, &reason)) {
      if (found.empty()) {
        *parent = candidate;
      } else {
        close(fd);
      }
      found.push_back(place);
    } else {
      close(fd);
    }
  }
  if (found.size() > 1) {
    close(parent->fd);
    return Fault(
        why, found[1],
        "claims to be the parent as " + found[0] + " does; neither is taken");
  }
  if (found.size() == 1) return kChainOpen;
  if (!places.decisive.empty()) {
    return Fault(why, places.decisive.back(), "does not exist", kChainMissing);
  }
  return Fault(why, child.path,
               places.unnamed.empty() ? "names no parent that can be found"
                                      : places.unnamed,
               kChainMissing);
}

}  // namespace

ChainVerdict OpenChain(const LayerFormat* format, int fd,
                       const std::string& path, Chain* chain, std::string* why,
                       const std::vector<std::string>& parents) {
  CloseChain(chain);
  chain->assign(1, Layer());
  std::string reason;
  if (!OpenLayer(format, fd, path, &chain->front(), why)) return kChainRefused;
  std::set<std::pair<dev_t, ino_t>> seen;
  for (;;) {
    const Layer& layer = chain->back();
    struct stat st;
    if (fstat(layer.fd, &st) != 0)
      return Fault(why, layer.path, "cannot be looked at");
    if (!seen.insert({st.st_dev, st.st_ino}).second) {
      return Fault(why, layer.path, "makes the chain of parents loop");
    }
    if (!layer.has_parent) return kChainOpen;
    if (chain->size() > kDeepest) {
      return Fault(why, layer.path, "is too deep a chain of parents");
    }
    Layer parent;
    ChainVerdict verdict = OpenParent(
        layer,
        chain->size() <= parents.size() ? parents[chain->size() - 1] : "",
        &parent, why);
    if (verdict != kChainOpen) return verdict;
    chain->push_back(parent);
  }
}

void CloseChain(Chain* chain) {
  for (size_t i = 1; i < chain->size(); ++i) close((*chain)[i].fd);
  chain->clear();
}

bool RereadTop(Chain* chain, std::string* why) {
  Layer& top = chain->front();
  Layer again;
  if (!OpenLayer(top.format, top.fd, top.path, &again, why)) return false;
  top = again;
  return true;
}

bool ReadComposed(const Chain& chain, size_t level, uint64_t offset, char* out,
                  uint64_t size) {
  while (size > 0) {
    const Layer* layer = level < chain.size() ? &chain[level] : nullptr;
    if (!layer || offset >= layer->size) {
      memset(out, 0, size);
      return true;
    }
    uint64_t run = 0, at = 0;
    LayerSource source = layer->format->find(*layer, offset, &run, &at);
    run = std::min(size, run);
    bool read = true;
    if (source == kUnreadable) {
      return false;
    } else if (source == kInLayer) {
      read = ReadStored(layer->fd, at, out, run);
    } else if (source == kZeros) {
      memset(out, 0, run);
    } else {
      read = ReadComposed(chain, level + 1, offset, out, run);
    }
    if (!read) return false;
    out += run;
    offset += run;
    size -= run;
  }
  return true;
}

size_t QemuBottom(const Chain& chain) {
  for (size_t level = 0; level < chain.size(); ++level) {
    if (!chain[level].qemu_driver.empty()) return level;
  }
  return chain.size();
}
