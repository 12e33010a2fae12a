#include "diskimage/formats/layer.h"

#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "helpers/io.h"
#include "stops/steps.h"

const LayerFormat* const* LayerFormats() {
  static const LayerFormat* const kFormats[] = {
      &kVhdFormat, &kVdiFormat, &kRedologFormat, &kSparseFormat, nullptr};
  return kFormats;
}

const LayerFormat* ClaimingFormat(int fd) {
  for (const LayerFormat* const* format = LayerFormats(); *format; ++format) {
    if ((*format)->claims(fd)) return *format;
  }
  return nullptr;
}

bool OpenLayer(const LayerFormat* format, int fd, const std::string& path,
               Layer* layer, std::string* why) {
  *layer = Layer();
  layer->format = format;
  layer->fd = fd;
  layer->path = path;
  return format->open(layer, why);
}

bool LayerWriteAt(int fd, const char* data, size_t size, uint64_t at) {
  bool stop = false;
  size_t allowed = StepCutWrite(at, size, &stop);
  bool written = WriteAll(fd, data, allowed, static_cast<int64_t>(at));
  if (stop) {
    StepStopNow();
    return false;
  }
  return written;
}

bool ReadStored(int fd, uint64_t at, char* out, uint64_t size) {
  while (size > 0) {
    ssize_t count = pread(fd, out, size, static_cast<off_t>(at));
    if (count < 0) return false;
    if (count == 0) {
      memset(out, 0, size);
      return true;
    }
    out += count;
    at += static_cast<uint64_t>(count);
    size -= static_cast<uint64_t>(count);
  }
  return true;
}

uint64_t FileSize(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

uint64_t RoundToSector(uint64_t bytes) {
  return (bytes + kSector - 1) / kSector * kSector;
}
