// File streams on Windows: the C library's, in binary mode. The six Win32
// calls need nothing here; they are kernel32's.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

#include "platform/platform.h"

struct PlatformFile {
  FILE* stream;
};

static PlatformFile* Wrap(FILE* stream) {
  if (!stream) return NULL;
  PlatformFile* file = static_cast<PlatformFile*>(malloc(sizeof(PlatformFile)));
  if (!file) {
    fclose(stream);
    return NULL;
  }
  file->stream = stream;
  return file;
}

OpenResult FileOpenRead(const char* path, PlatformFile** file) {
  errno = 0;
  FILE* stream = fopen(path, "rb");
  if (!stream) return errno == ENOENT ? kMissing : kOpenFailed;
  *file = Wrap(stream);
  return *file ? kOpened : kOpenFailed;
}

PlatformFile* FileOpenWrite(const char* path) {
  return Wrap(fopen(path, "wb"));
}

long FileRead(PlatformFile* file, char* buffer, size_t size) {
  size_t count = fread(buffer, 1, size, file->stream);
  if (count == 0 && ferror(file->stream)) return -1;
  return static_cast<long>(count);
}

bool FileWrite(PlatformFile* file, const char* data, size_t size) {
  return fwrite(data, 1, size, file->stream) == size;
}

bool FileClose(PlatformFile* file) {
  bool ok = fclose(file->stream) == 0;
  free(file);
  return ok;
}
