// Running mtools on a FAT volume, and reading its listings. Each tool is
// started with an argument vector (never a shell) and none of the user's mtools
// settings.
#ifndef DOSSETUP_DISKIMAGE_VOLUME_MTOOLS_H_
#define DOSSETUP_DISKIMAGE_VOLUME_MTOOLS_H_

#include <string>
#include <vector>

#include "helpers/spawn.h"

// Runs mtools' `tool` on the volume `spec` (its -i argument: IMAGE or
// IMAGE@@OFFSET), then `args`, as `options` say (spawn.h). True when it
// ends with status 0.
bool RunMtools(const std::string& spec, const char* tool,
               const std::vector<std::string>& args,
               const RunOptions& options = RunOptions());

// One entry of a folder as `mdir -a` lists it.
struct MdirEntry {
  std::string name;   // the long name where there is one, else the short
  std::string alias;  // the short name, as the directory entry stores it
  bool folder = false;
};

// The entries of an `mdir -a` listing `text`, "." and ".." left out;
// false when it is none.
bool ParseMdirListing(const std::string& text, std::vector<MdirEntry>* entries);

#endif  // DOSSETUP_DISKIMAGE_VOLUME_MTOOLS_H_
