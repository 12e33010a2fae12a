#include "helpers/scratch.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

std::string ScratchFolder() {
  const char* folder = getenv("TMPDIR");
  return folder && *folder ? folder : "/tmp";
}

int ScratchFile() {
  std::string name = ScratchFolder();
  int fd = open(name.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
  // A file system without unnamed files: the name goes at once.
  name += "/dossetup-XXXXXX";
  fd = mkostemp(name.data(), O_CLOEXEC);
  if (fd >= 0) unlink(name.c_str());
  return fd;
}
