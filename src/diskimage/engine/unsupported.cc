#include "diskimage/engine/unsupported.h"

#include "diskimage/formats/vhdx.h"

std::string UnsupportedChild(int fd) {
  if (VhdxHasParent(fd)) return "a differencing VHDX: not supported";
  return "";
}
