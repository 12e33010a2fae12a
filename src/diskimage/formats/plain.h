// Where a layer keeps the whole disk it holds as plain bytes, in order, in
// one run of its file (a fixed VDI, a disk behind a header): mtools can
// then read the volume in the file itself, and QEMU as a raw disk there.
#ifndef DOSSETUP_DISKIMAGE_FORMATS_PLAIN_H_
#define DOSSETUP_DISKIMAGE_FORMATS_PLAIN_H_

#include <stdint.h>

#include "diskimage/formats/layer.h"

// Whether `layer` holds every byte of its disk itself, in order in its
// file, and where the first lies. Its format tells where each run lives,
// so it takes a step a block at most.
bool PlainAt(const Layer& layer, uint64_t* at);

#endif  // DOSSETUP_DISKIMAGE_FORMATS_PLAIN_H_
