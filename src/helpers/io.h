// Whole reads and writes on a descriptor, through short counts and
// interrupted calls.
#ifndef DOSSETUP_HELPERS_IO_H_
#define DOSSETUP_HELPERS_IO_H_

#include <stddef.h>
#include <stdint.h>

#include <string>

// Writes all `size` bytes, at offset `at` if it is not negative (the
// descriptor's position then stays), else where the descriptor stands.
// False on an error; a device that takes nothing more fails with ENOSPC.
bool WriteAll(int fd, const char* data, size_t size, int64_t at = -1);

// Appends to `text` what `fd` reads until its end. False on an error.
bool ReadAll(int fd, std::string* text);

// Up to `size` bytes of `fd` from `at`; fewer at the end of the file or on
// an error. A large `size` takes no more memory than the file holds.
std::string ReadAt(int fd, uint64_t at, uint64_t size);

#endif  // DOSSETUP_HELPERS_IO_H_
