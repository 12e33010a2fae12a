// Numbers and bytes as image formats store them, read from a file by
// position.
#ifndef DOSSETUP_DISKIMAGE_BYTES_H_
#define DOSSETUP_DISKIMAGE_BYTES_H_

#include <stddef.h>
#include <stdint.h>

#include <string>

// The `size`-byte number at `at` of `bytes`, which must hold it.
uint64_t BigEndian(const std::string& bytes, size_t at, int size);
uint64_t LittleEndian(const std::string& bytes, size_t at, int size);
// Stores `value` as a `size`-byte big-endian number at `at`.
void PutBigEndian(std::string* bytes, size_t at, int size, uint64_t value);

// Bytes of a disk from `offset`, `length` long: stored in a file from
// `stored_at`, or zeros where that is negative.
struct StoredExtent {
  uint64_t offset;
  uint64_t length;
  int64_t stored_at;
};

// Up to `size` bytes of `fd` from `at`; fewer at the end of the file or on
// an error.
std::string ReadAt(int fd, uint64_t at, uint64_t size);
// Writes all of `size` bytes at `at`; false on an error.
bool WriteAt(int fd, const char* data, size_t size, uint64_t at);

#endif  // DOSSETUP_DISKIMAGE_BYTES_H_
