// Disks built on this one. Emulators keep a machine's disk as a chain: a
// base, and over it a child that holds only what the machine wrote since,
// which the machine boots. Writing the base under a child changes what the
// child shows and tears the child's own copies of the volume's sectors, so
// a disk that others are built on is never written.
//
// Children are looked for where emulators keep them, before anything is
// written (in a dry run too): in the image's folder and in a Snapshots
// folder beside it (VirtualBox's layout), each file known by what its own
// header says, never by its name alone (a qcow2, qcow or qed whose backing
// file is this very file, a differencing VHD, VHDX or VDI whose parent id
// is this image's, a VMDK whose parent hint names it, Bochs' undoable
// redolog `IMAGE.redolog` or any that Bochs would take over this disk, and
// a sparse layer whose name less one on its last digit leads to it, a
// link followed there only to compare it with the image), and in the
// media registry of a VirtualBox machine file (.vbox) beside it. Only
// regular files are opened, none through a link, at most each file's
// header is read, and each header once in a run. A child kept elsewhere
// cannot be seen.
//
// Bochs holds `IMAGE.lock` beside a disk while it uses it.
#ifndef DOSSETUP_DISKIMAGE_ENGINE_CHILDREN_H_
#define DOSSETUP_DISKIMAGE_ENGINE_CHILDREN_H_

#include <string>

enum ChildrenVerdict {
  kNoChildren,
  kChildFound,  // `why` names the child and says what to do
  kBochsLock,   // Bochs holds the disk
};

// Looks for disks built on the image at the absolute `path`, open as `fd`.
ChildrenVerdict FindChildren(const std::string& path, int fd, std::string* why);

#endif  // DOSSETUP_DISKIMAGE_ENGINE_CHILDREN_H_
