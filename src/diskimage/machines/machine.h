// A machine file named as the drive: the file an emulator keeps a machine
// in, which names the machine's disks. Known by its content, never by its
// name alone, it leads to the disk that is the machine's drive C (down its
// chain, the disk the machine boots); a machine saved (suspended) holds
// that disk's state in its memory and is left alone.
//
//   VirtualBox  .vbox   the first hard disk of the first IDE controller of
//                       the current state, by UUID through the registry;
//                       saved when it has a stateFile
//   VMware      .vmx    ide0:0.fileName; suspended when checkpoint.vmState
//                       names a state
//   Bochs       bochsrc ata0-master's path, or in undoable mode its
//                       journal (path.redolog unless journal= names
//                       another), over the path as its base
//   86Box       86box.cfg  the IDE disk on channel 0:0 of [Hard disks],
//                       else its first disk
//   PCem        .cfg    hdc_fn (hdd_fn is drive D)
//   DOSBox-X    .conf   `imgmount c FILE` (or drive 2) in [autoexec]
//   libvirt     domain XML  the first file disk on the IDE bus; saved when
//                       libvirt keeps a managed save of it
// Paths are taken from the machine file's folder (the folder DOSBox-X and
// Bochs are normally started in), Windows separators as '/'.
#ifndef DOSSETUP_DISKIMAGE_MACHINES_MACHINE_H_
#define DOSSETUP_DISKIMAGE_MACHINES_MACHINE_H_

#include <string>

enum MachineVerdict {
  kNoMachineFile,  // a file of no kind named above: perhaps a disk
  kMachineDisk,    // `disk` is drive C
  kMachineNoDisk,  // it names no drive C, or one that does not exist
  kMachineSaved,   // a saved machine's: its disk is left alone
};

struct MachineDisk {
  std::string kind;  // "a VirtualBox machine", for the lines
  std::string disk;  // absolute
  std::string base;  // the base it names for `disk`, if it names one
  std::string why;   // where it is not kMachineDisk
};

// Reads the file at the absolute `path` as a machine file.
MachineVerdict ReadMachineFile(const std::string& path, MachineDisk* found);

#endif  // DOSSETUP_DISKIMAGE_MACHINES_MACHINE_H_
