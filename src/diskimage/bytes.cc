#include "diskimage/bytes.h"

#include <errno.h>
#include <unistd.h>

uint64_t BigEndian(const std::string& bytes, size_t at, int size) {
  uint64_t value = 0;
  for (int i = 0; i < size; ++i) {
    value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
  }
  return value;
}

uint64_t LittleEndian(const std::string& bytes, size_t at, int size) {
  uint64_t value = 0;
  for (int i = size - 1; i >= 0; --i) {
    value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
  }
  return value;
}

void PutBigEndian(std::string* bytes, size_t at, int size, uint64_t value) {
  for (int i = size - 1; i >= 0; --i) {
    (*bytes)[at + i] = static_cast<char>(value & 0xFF);
    value >>= 8;
  }
}

std::string ReadAt(int fd, uint64_t at, uint64_t size) {
  std::string bytes(size, '\0');
  size_t done = 0;
  while (done < size) {
    ssize_t count =
        pread(fd, &bytes[done], size - done, static_cast<off_t>(at + done));
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    done += static_cast<size_t>(count);
  }
  bytes.resize(done);
  return bytes;
}

bool WriteAt(int fd, const char* data, size_t size, uint64_t at) {
  while (size > 0) {
    ssize_t count = pwrite(fd, data, size, static_cast<off_t>(at));
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    data += count;
    size -= static_cast<size_t>(count);
    at += static_cast<uint64_t>(count);
  }
  return true;
}
