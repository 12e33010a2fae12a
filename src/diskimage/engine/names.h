// What a disk image names besides itself, read from its own header before
// any QEMU tool opens it, since QEMU follows every name it finds: a
// qcow2's or qed's backing file (down the chain) and a qcow2's external
// data file, a VMDK's extents and parent, from a text descriptor or the
// one a sparse VMDK embeds. A disk of a format the program reads itself
// (layer.h) finds its parents in its own way (chain.h); none may be led to
// by any other format's image, since QEMU would misread it.
//
// An image made by anybody may name any file. So the run writes through
// the image alone and through files beside it, named by a plain name (no
// '/', no ".."), regular and not links, as split and flat VMDKs and a
// data file kept beside its qcow2 are. A backing file, only ever read, may
// lie anywhere, named by a plain path (not json:, not a protocol such as
// nbd: or http:), and must be a regular file; a chain that loops, or is
// deeper than 16, is refused. A name that leads to anything but a regular
// file is refused without being opened: opening a FIFO waits forever, and
// opening some devices acts.
#ifndef DOSSETUP_DISKIMAGE_ENGINE_NAMES_H_
#define DOSSETUP_DISKIMAGE_ENGINE_NAMES_H_

#include <stdint.h>

#include <string>
#include <vector>

enum NamesVerdict {
  kNamesSafe,
  kNamesRefused,  // a name the run must not follow
  kNamesMissing,  // a file named that does not exist
};

// The backing files the image `fd` (of `size` bytes) names as stored: a
// qcow2's, qcow's or qed's, or a VMDK's parent hint.
std::vector<std::string> BackingNames(int fd, uint64_t size);

// Checks every file the image at `image`, open as `fd`, names. `why`
// receives the name at fault and the reason.
NamesVerdict CheckImageNames(const std::string& image, int fd,
                             std::string* why);

#endif  // DOSSETUP_DISKIMAGE_ENGINE_NAMES_H_
