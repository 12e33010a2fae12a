// Numbers as image formats store them, and extents of a disk stored in a
// file.
#ifndef DOSSETUP_DISKIMAGE_FORMATS_BYTES_H_
#define DOSSETUP_DISKIMAGE_FORMATS_BYTES_H_

#include <stddef.h>
#include <stdint.h>

#include <string>

// The `size`-byte number at `at` of `bytes`, which must hold it.
uint64_t BigEndian(const std::string& bytes, size_t at, int size);
uint64_t LittleEndian(const std::string& bytes, size_t at, int size);
// Stores `value` as a `size`-byte number at `at`.
void PutBigEndian(std::string* bytes, size_t at, int size, uint64_t value);
void PutLittleEndian(std::string* bytes, size_t at, int size, uint64_t value);

// A 16-byte GUID as Windows, VirtualBox and VHDX write its text (the first
// three fields little-endian), lower case, without braces.
std::string GuidText(const std::string& bytes);

// Bytes of a disk from `offset`, `length` long: stored in a file from
// `stored_at`, or zeros where that is negative.
struct StoredExtent {
  uint64_t offset;
  uint64_t length;
  int64_t stored_at;
};

#endif  // DOSSETUP_DISKIMAGE_FORMATS_BYTES_H_
