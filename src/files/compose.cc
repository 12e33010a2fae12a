#include "files/compose.h"

#include <string.h>

void ComposeInDirectory(char (&out)[kComposedCapacity], const char* directory,
                        const char* name) {
  size_t used = 0;
  const char* parts[] = {directory, "\\", name};
  for (const char* part : parts) {
    size_t length = strlen(part);
    // The directory texts are at most 259 characters, so this never cuts;
    // it only guards the buffer.
    if (length > kComposedCapacity - 1 - used) {
      length = kComposedCapacity - 1 - used;
    }
    memcpy(out + used, part, length);
    used += length;
  }
  out[used] = '\0';
}

void ComposeFileAndTemp(char (&target)[kComposedCapacity],
                        char (&temp)[kComposedCapacity], const char* directory,
                        const char* name, const char* temp_name) {
  ComposeInDirectory(target, directory, name);
  ComposeInDirectory(temp, directory, temp_name);
}
