// A machine file named as the drive: the file an emulator keeps a machine
// in, which names the machine's disks. Known by its content, never by its
// name alone, and read by its emulator's own rules (reader.h), it leads to
// the disk that is the machine's drive C: the first hard disk its BIOS
// boots (down its chain, the disk the machine boots); a machine kept saved
// (suspended) holds that disk's state in its memory and is left alone.
//
//   VirtualBox  .vbox       virtualbox.cc
//   VMware      .vmx        vmware.cc
//   Bochs       bochsrc     bochs.cc
//   86Box       86box.cfg   86box.cc
//   PCem        .cfg        pcem.cc
//   DOSBox-X    .conf       dosbox_x.cc
//   libvirt     domain XML  libvirt.cc
#ifndef DOSSETUP_DISKIMAGE_MACHINES_MACHINE_H_
#define DOSSETUP_DISKIMAGE_MACHINES_MACHINE_H_

#include <string>
#include <vector>

enum MachineVerdict {
  kNoMachineFile,   // a file of no kind named above: perhaps a disk
  kMachineDisk,     // `disk` is drive C
  kMachineNoDisk,   // it names no drive C, or one that does not exist
  kMachineSaved,    // a saved machine's: its disk is left alone
  kMachineRefused,  // a machine file its emulator refuses, or this program
                    // cannot follow
};

struct MachineDisk {
  std::string kind;  // "a VirtualBox machine", for the lines
  std::string disk;  // absolute
  // The parents the file names for `disk`, top down (a Bochs redolog's
  // base, a VirtualBox snapshot's parents by its registry); a chain's
  // lower parents are found where their formats say.
  std::vector<std::string> parents;
  std::string why;  // where it is not kMachineDisk
  // Its sound card against the BLASTER line (sound.h), wherever its
  // emulator's rules read the file: a verbose line where they agree, a
  // line for standard error where they differ; "" where it cannot say.
  std::string sound_agrees, sound_differs;
};

// Reads the file at the absolute `path` as a machine file.
MachineVerdict ReadMachineFile(const std::string& path, MachineDisk* found);

#endif  // DOSSETUP_DISKIMAGE_MACHINES_MACHINE_H_
