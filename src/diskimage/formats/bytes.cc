#include "diskimage/formats/bytes.h"

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

void PutLittleEndian(std::string* bytes, size_t at, int size, uint64_t value) {
  for (int i = 0; i < size; ++i) {
    (*bytes)[at + i] = static_cast<char>(value & 0xFF);
    value >>= 8;
  }
}
