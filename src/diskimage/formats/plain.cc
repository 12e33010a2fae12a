#include "diskimage/formats/plain.h"

bool PlainAt(const Layer& layer, uint64_t* at) {
  if (layer.has_parent || layer.size == 0) return false;
  uint64_t first = 0;
  for (uint64_t offset = 0; offset < layer.size;) {
    uint64_t run = 0, where = 0;
    if (layer.format->find(layer, offset, &run, &where) != kInLayer ||
        run == 0 || (offset > 0 && where != first + offset)) {
      return false;
    }
    if (offset == 0) first = where;
    offset += run;
  }
  if (first + layer.size > FileSize(layer.fd)) return false;
  *at = first;
  return true;
}
