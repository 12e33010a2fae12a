// Hyper-V's VHDX, read only as far as the engine needs it: this program
// neither reads nor writes a VHDX's disk (QEMU does), but tells a
// differencing one, which QEMU refuses, and the data write GUID a child's
// parent linkage names.
#ifndef DOSSETUP_DISKIMAGE_FORMATS_VHDX_H_
#define DOSSETUP_DISKIMAGE_FORMATS_VHDX_H_

#include <string>

// Whether `fd` holds a VHDX whose file parameters say it has a parent.
bool VhdxHasParent(int fd);

// The data write GUID of the VHDX `fd` holds (the current header's), as
// text without braces; "" for none.
std::string VhdxDataWriteGuid(int fd);

// The parent linkage a differencing VHDX names its parent by, as text
// without braces; "" for none.
std::string VhdxParentLinkage(int fd);

#endif  // DOSSETUP_DISKIMAGE_FORMATS_VHDX_H_
