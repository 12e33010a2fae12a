// Bochs' own disks for the tests, made by Bochs' own bximage where it can
// (a growing disk, a sparse layer), else as Bochs makes them (an undoable
// disk's redolog, whose layout is a growing disk's, and an empty sparse
// layer over another), and read back by bximage alone: a growing disk or a
// sparse layer converted to flat, an undoable redolog committed onto a
// copy of its base. The undoable and sparse disks are named by a bochsrc,
// as Bochs' users name them.
#ifndef DOSSETUP_TESTS_SUPPORT_BOCHS_DISKS_H_
#define DOSSETUP_TESTS_SUPPORT_BOCHS_DISKS_H_

#include <string>

enum BochsMode { kBochsGrowing, kBochsUndoable, kBochsSparse };

// Makes at `image` a Bochs disk of `mode` that holds the raw disk `after`,
// over `before` where the mode has a base (undoable, sparse): for those,
// `image` is a bochsrc that names them beside it.
void MakeBochsDisk(BochsMode mode, const std::string& image,
                   const std::string& before, const std::string& after);

// The file a run on `image` writes: the image itself, or the disk its
// bochsrc names.
std::string BochsWritten(BochsMode mode, const std::string& image);

// Writes the disk the Bochs disk at `image` holds, as bximage reads it, to
// the raw file `raw`; false when bximage cannot, does not take it for its
// mode, or a base lost a byte.
bool ReadBochsDisk(BochsMode mode, const std::string& image,
                   const std::string& raw);

// Removes what MakeBochsDisk made.
void RemoveBochsDisk(const std::string& image);

#endif  // DOSSETUP_TESTS_SUPPORT_BOCHS_DISKS_H_
