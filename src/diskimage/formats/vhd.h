// The VHD format (Virtual PC's, kept by 86Box, DOSBox-X and Virtual PC), a
// format of the program's own (layer.h) for differencing disks: QEMU opens
// a differencing VHD as if it stood alone, ignoring its parent and its
// sector bitmaps, so no QEMU tool is ever given one.
//
// A VHD ends with a 512-byte footer, the one emulators read (86Box reads
// no other); a dynamic or differencing one keeps a copy of it at its
// start. Its disk is split into blocks, each absent (a table entry of all
// ones) or stored as a sector bitmap, in whole sectors, and then its data.
// In a differencing disk a sector whose bit is set comes from the block,
// any other from the parent; bits count from the most significant bit of
// each byte. A dynamic disk's block is read whole, as QEMU reads it (and
// Bochs, vpc.cc); 86Box reads a sector whose bit is clear as zeros
// (minivhd_io.c mvhd_sparse_read), but QEMU, which writes these disks
// here, sets all of a block's bits when it writes into it (vpc.c
// get_image_offset), and the blocks emulators add are zeroed first.
#ifndef DOSSETUP_DISKIMAGE_FORMATS_VHD_H_
#define DOSSETUP_DISKIMAGE_FORMATS_VHD_H_

#include <string>

enum VhdType {
  kVhdNone = 0,  // not a VHD
  kVhdFixed = 2,
  kVhdDynamic = 3,
  kVhdDifferencing = 4,
};

// Which kind of VHD `fd` holds, by its footer at the end, else by the
// copy at the start (where QEMU looks first); kVhdNone for none.
VhdType VhdTypeOf(int fd);

// Whether QEMU, which knows a VHD by the footer's copy at the start, takes
// `fd` for one.
bool QemuSeesVhd(int fd);

// The unique id of the VHD `fd` holds, and the one a differencing VHD
// names its parent by; "" where there is none.
std::string VhdUniqueId(int fd);
std::string VhdParentId(int fd);

#endif  // DOSSETUP_DISKIMAGE_FORMATS_VHD_H_
