// A scratch folder standing for drive C, made fresh for each test and
// removed afterwards, with helpers to lay out and read back exact bytes.
#ifndef DOSSETUP_TESTS_SUPPORT_SCRATCH_DRIVE_H_
#define DOSSETUP_TESTS_SUPPORT_SCRATCH_DRIVE_H_

#include <map>
#include <string>
#include <vector>

struct ScratchDrive {
  ScratchDrive();  // also points the host layer at it and resets faults
  ~ScratchDrive();
  ScratchDrive(const ScratchDrive&) = delete;
  ScratchDrive& operator=(const ScratchDrive&) = delete;

  std::string root;
  // A folder of the drive's own, holding `root` and what a test puts beside
  // it (an image, its journal, a TMPDIR): other tests' images never stand
  // beside it, where a run would judge them as disks built on its own.
  std::string folder;

  // Paths are relative to the drive, with '/'; folders are made as needed.
  void Write(const std::string& path, const std::string& bytes) const;
  std::string Read(const std::string& path) const;
  bool Exists(const std::string& path) const;
  void MakeFolder(const std::string& path) const;
  // Every regular file below the drive, by relative path, with its bytes.
  std::map<std::string, std::string> Snapshot() const;
  // A typical drive: MSDOS.SYS naming C:\WINDOWS, WINDOWS\SYSTEM, and a
  // WIN.INI with the given language abbreviation.
  void LayOutWindows(const std::string& language = "deu") const;
};

// The three files a run updates, as drives laid out here hold them.
extern const char* const kUpdatedFiles[3];

// A drive laid out by LayOutWindows("fra") whose three files already hold
// their lines among others, the settings file a stale language.
void LayOutHalfSetUp(const ScratchDrive& drive);

// Sets the two directory texts the updates read, as the probe would.
void SetDirectories(const char* windows, const char* system);

// The whole run, in this process, on the given drive; the exit status the
// host program would give.
int RunOn(const ScratchDrive& drive);

// What holds drive C in a run: the folder itself, or a disk image made
// from it with mtools, as PC emulators keep them: raw, or the FAT16 disk
// converted by qemu-img to a dynamic VHD, qcow2, VDI (dynamic or fixed) or
// sparse VMDK, or
// to a dynamic VHD that names Virtual PC as its maker, whose geometry QEMU
// believes over its size, so that its partition seems to run past the
// disk's end; or a differencing VHD over a dynamic one (IMAGE.parent.vhd)
// that holds an empty volume, the child holding what an emulator's session
// wrote to put the tree there; or a fresh child over a parent that holds
// the tree, alone or with 8 MiB of unused space before its footer; or a
// VirtualBox snapshot's differencing VDI over a dynamic VDI, as the
// differencing VHD; or Bochs' growing disk, undoable disk (its redolog
// holding the tree over a base holding an empty volume) or two sparse
// layers, the two last named by a bochsrc (bochs_disks.h).
enum DriveMedium {
  kOnFolder,
  kOnFat12Floppy,
  kOnFat16Disk,
  kOnFat32Disk,
  kOnFat16Vhd,
  kOnFat16Qcow2,
  kOnFat16Vdi,
  kOnFat16VirtualPcVhd,
  kOnFat16Vmdk,
  kOnFat16VhdChild,
  kOnFat16FreshVhdChild,
  kOnFat16FreshVhdChildSlack,
  kOnFat16VdiSnapshot,
  kOnFat16BochsGrowing,
  kOnFat16BochsUndoable,
  kOnFat16BochsSparse,
  kOnFat16FixedVdi,
};
const char* MediumName(DriveMedium medium);

// The file a run on `image` of `medium` writes, and beside which its
// journal goes: the image itself, or the disk a machine file names.
std::string WrittenFile(DriveMedium medium, const std::string& image);

// The media a test of both tiers runs on: the folder in the unit tier,
// `images` in the image tier (each test program is built for one).
std::vector<DriveMedium> TierMedia(const std::vector<DriveMedium>& images);

// The whole run with drive C on `medium`. For an image: the drive's tree
// is copied into a new image, the run works inside it, qemu-img check (for
// formats that have one) and fsck.fat must find no fault afterwards, no
// daemon, mount or journal may be left, and the drive's folder then holds
// what the image holds. Returns the exit status the host program would
// give.
int RunOn(const ScratchDrive& drive, DriveMedium medium);

// Makes a disk image of `medium` at `image` holding the tree at `folder`
// (if any). Returns mtools' -i argument for its volume; for a format other
// than raw, the one it has once converted back to raw in its place.
std::string MakeImage(DriveMedium medium, const std::string& image,
                      const std::string& folder);
// What a test reads back from an image of `medium` made by MakeImage with
// mtools' -i argument `spec`: whether qemu-img check (for formats that
// have one) and fsck.fat find it sound (and a differencing VHD's parent
// holds every byte it held), and the bytes of each of `paths` (missing
// ones left out).
struct ImageContent {
  bool sound = false;
  std::map<std::string, std::string> files;
};
ImageContent ReadImage(DriveMedium medium, const std::string& image,
                       const std::string& spec,
                       const std::vector<std::string>& paths);

// Whether anything of a raw view made in folder `tmp` is left: a mount, or
// anything in the folder.
bool ViewLeftBehind(const std::string& tmp);

// Runs a shell command, for mtools in tests; true when it ends with 0.
bool Shell(const std::string& command);

#endif  // DOSSETUP_TESTS_SUPPORT_SCRATCH_DRIVE_H_
