/* Replays a dm-log-writes log onto a copy of the data device, for the
 * crash suite (suite). The log, as the kernel writes it: a super block in
 * its first sector (magic, version, entry count, sector size, all little
 * endian), then one entry a sector (sector, sectors, flags, data length),
 * a write's data in the sectors after its entry, a mark's text in the
 * entry's own sector after its four words.
 *
 *   replay LOG list                      one line an entry: N KIND [MARK]
 *   replay LOG apply DEVICE FROM TO      applies entries FROM..TO-1
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

enum {
  kFlush = 1 << 0,
  kFua = 1 << 1,
  kDiscard = 1 << 2,
  kMark = 1 << 3,
};
static const uint64_t kMagic = 0x6a736677736872ULL;

static uint64_t Le64(const unsigned char* p) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = value << 8 | p[i];
  return value;
}

static int ReadAt(int fd, void* buffer, size_t size, off_t at) {
  size_t done = 0;
  while (done < size) {
    ssize_t count =
        pread(fd, (char*)buffer + done, size - done, at + (off_t)done);
    if (count <= 0) return -1;
    done += (size_t)count;
  }
  return 0;
}

static int WriteAt(int fd, const void* buffer, size_t size, off_t at) {
  size_t done = 0;
  while (done < size) {
    ssize_t count =
        pwrite(fd, (const char*)buffer + done, size - done, at + (off_t)done);
    if (count <= 0) return -1;
    done += (size_t)count;
  }
  return 0;
}

static void Fail(const char* what) {
  fprintf(stderr, "replay: %s: %s\n", what,
          errno ? strerror(errno) : "bad log");
  exit(1);
}

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr,
            "usage: replay LOG list | replay LOG apply DEVICE FROM TO\n");
    return 2;
  }
  int log = open(argv[1], O_RDONLY);
  if (log < 0) Fail(argv[1]);
  unsigned char super[32];
  if (ReadAt(log, super, sizeof super, 0) != 0) Fail("super block");
  uint64_t entries = Le64(super + 16);
  uint32_t size = (uint32_t)super[24] | (uint32_t)super[25] << 8 |
                  (uint32_t)super[26] << 16 | (uint32_t)super[27] << 24;
  errno = 0;
  if (Le64(super) != kMagic || Le64(super + 8) != 1 || size < 512 ||
      size > 65536) {
    Fail("super block");
  }
  int listing = strcmp(argv[2], "list") == 0;
  int device = -1;
  uint64_t from = 0, to = 0;
  if (!listing) {
    if (argc != 6 || strcmp(argv[2], "apply") != 0) Fail("arguments");
    device = open(argv[3], O_RDWR);
    if (device < 0) Fail(argv[3]);
    from = strtoull(argv[4], NULL, 10);
    to = strtoull(argv[5], NULL, 10);
    if (to > entries) to = entries;
  }
  unsigned char* sector = malloc(size);
  unsigned char* data = NULL;
  size_t data_size = 0;
  if (!sector) Fail("memory");
  off_t at = size; /* the first entry follows the super block */
  for (uint64_t n = 0; n < entries && (listing || n < to); ++n) {
    if (ReadAt(log, sector, size, at) != 0) Fail("entry");
    uint64_t start = Le64(sector), count = Le64(sector + 8);
    uint64_t flags = Le64(sector + 16), length = Le64(sector + 24);
    at += size;
    uint64_t bytes = count * size;
    if (listing) {
      const char* kind = flags & kMark      ? "mark"
                         : flags & kDiscard ? "discard"
                         : flags & kFua     ? "fua"
                         : flags & kFlush   ? "flush"
                                            : "write";
      if (flags & kMark) {
        if (length > size - 32) length = size - 32;
        printf("%llu %s %.*s\n", (unsigned long long)n, kind, (int)length,
               (const char*)sector + 32);
      } else {
        printf("%llu %s%s\n", (unsigned long long)n, kind,
               count > 0 && (flags & (kFlush | kFua)) && !(flags & kDiscard)
                   ? " data"
                   : "");
      }
    } else if (n >= from && count > 0) {
      if (bytes > data_size) {
        free(data);
        data = calloc(1, bytes);
        data_size = bytes;
        if (!data) Fail("memory");
      }
      if (flags & kDiscard) {
        memset(data, 0, bytes); /* discarded sectors read as zeros */
      } else if (ReadAt(log, data, bytes, at) != 0) {
        Fail("data");
      }
      if (WriteAt(device, data, bytes, (off_t)(start * size)) != 0) {
        Fail("device");
      }
    }
    if (!(flags & kDiscard)) at += (off_t)bytes;
  }
  if (device >= 0 && (fsync(device) != 0 || close(device) != 0)) {
    Fail("device");
  }
  return 0;
}
