// The clusters a qcow2 file holds itself, read from its own tables, as
// QEMU's qcow2 driver lays them out (docs/interop/qcow2.txt in QEMU's
// sources; qcow2_get_cluster_type in block/qcow2.h): the journal's map,
// with no qemu-img started for it. Only the plain layout QEMU makes by
// default is read; anything else is left to QEMU's own map.
#ifndef DOSSETUP_DISKIMAGE_FORMATS_QCOW2_MAP_H_
#define DOSSETUP_DISKIMAGE_FORMATS_QCOW2_MAP_H_

#include <vector>

#include "diskimage/formats/bytes.h"

enum Qcow2Map {
  kQcow2Mapped,      // `extents` holds the map
  kQcow2Other,       // a qcow2 of another layout (compressed clusters,
                     // subclusters, an external data file...): not read here
  kQcow2Unreadable,  // no qcow2, or its tables lie outside it
};

// The disk's extents that qcow2 file `fd` holds itself, in order of their
// offsets, joined where they touch: data where it stores them, zeros
// where a cluster says so (stored_at -1); a cluster it leaves to a backing
// file is not among them. The work is bounded by the file's size.
Qcow2Map MapQcow2(int fd, std::vector<StoredExtent>* extents);

#endif  // DOSSETUP_DISKIMAGE_FORMATS_QCOW2_MAP_H_
