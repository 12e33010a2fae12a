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

std::string GuidText(const std::string& bytes) {
  static const int kOrder[] = {3,  2, 1, 0,  -1, 5,  4,  -1, 7,  6,
                               -1, 8, 9, -1, 10, 11, 12, 13, 14, 15};
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (int at : kOrder) {
    if (at < 0) {
      text += '-';
      continue;
    }
    unsigned char byte = static_cast<unsigned char>(bytes[at]);
    text += kHex[byte >> 4];
    text += kHex[byte & 15];
  }
  return text;
}
