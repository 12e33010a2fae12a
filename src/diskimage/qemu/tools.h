// QEMU's tools as this program uses them: what `qemu-img info` tells of
// an image, values in QEMU's option syntax, the environment every QEMU
// tool gets, and whether FUSE is there for this user.
#ifndef DOSSETUP_DISKIMAGE_QEMU_TOOLS_H_
#define DOSSETUP_DISKIMAGE_QEMU_TOOLS_H_

#include <stdint.h>

#include <string>
#include <vector>

#include "diskimage/formats/bytes.h"

// What `qemu-img info` tells of an image.
struct ImageInfo {
  std::string format;             // "raw", "qcow2", "vpc"...
  uint64_t virtual_size = 0;      // the disk's size in bytes
  bool stream_optimized = false;  // a VMDK that cannot be written in place
};

enum InfoResult { kInfoRead, kInfoNoQemuImg, kInfoUnreadable };

// Reads what qemu-img tells of `image`, opened without locking, with
// `driver_options` ("driver=vpc,force_size_calc=current_size," or empty).
InfoResult ReadImageInfo(const std::string& image,
                         const std::string& driver_options, ImageInfo* info);

// The extents qcow2 file `file` holds itself (its backing file, if it
// names one, is not opened): read from its tables (qcow2_map.h), or told
// by qemu-img map where their layout is not the plain one. False when it
// cannot tell.
bool MapOwnExtents(const std::string& file, std::vector<StoredExtent>* extents);

// A value inside a QEMU option list, where a comma separates options
// unless doubled.
std::string OptionValue(const std::string& text);

// `text` as a JSON string.
std::string JsonString(const std::string& text);

// QEMU's tools get the search path alone, and speak plain ASCII.
std::vector<std::string> QemuEnvironment();

// The folder QEMU's tools start in for `image` (an absolute path): its own,
// since QEMU finds a qcow2's data file from there.
std::string ImageFolder(const std::string& image);

// Runs QEMU tool `argv` for `image` in its folder (RunProgram, spawn.h).
int RunQemuTool(const std::string& image, const std::vector<std::string>& argv,
                std::string* out = nullptr,
                const std::vector<std::string>& env = QemuEnvironment());

// Whether FUSE can be used by this user: /dev/fuse open to it, and
// fusermount3 where it is not root.
bool FuseUsable();

#endif  // DOSSETUP_DISKIMAGE_QEMU_TOOLS_H_
