#include "helpers/io.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

static const uint64_t kTrustedRead = 1 << 20;

bool WriteAll(int fd, const char* data, size_t size, int64_t at) {
  while (size > 0) {
    ssize_t count = at < 0 ? write(fd, data, size)
                           : pwrite(fd, data, size, static_cast<off_t>(at));
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) {
      if (count == 0) errno = ENOSPC;
      return false;
    }
    data += count;
    size -= static_cast<size_t>(count);
    if (at >= 0) at += count;
  }
  return true;
}

bool ReadAll(int fd, std::string* text) {
  char buffer[16 * 1024];
  for (;;) {
    ssize_t count = read(fd, buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return count == 0;
    text->append(buffer, static_cast<size_t>(count));
  }
}

std::string ReadAt(int fd, uint64_t at, uint64_t size) {
  // A size read from a stranger's header takes no more than the file holds.
  struct stat st;
  if (size > kTrustedRead && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    uint64_t held = static_cast<uint64_t>(st.st_size);
    size = at >= held ? 0 : std::min(size, held - at);
  }
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
