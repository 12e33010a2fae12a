// The host program as users start it on disk images: a dry run moves no
// byte or time of any medium, and each failure an image brings has its
// status and line.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "cli/options.h"
#include "cli/run.h"
#include "diskimage/engine/interrupts.h"
#include "stops/steps.h"
#include "support/bochs_disks.h"
#include "support/program.h"
#include "support/scratch_drive.h"

namespace fs = std::filesystem;

namespace {

// Everything a stat tells of each file in `folder` and below, but the
// access time: a dry run may read, never write.
std::map<std::string, std::string> Stats(const std::string& folder) {
  std::map<std::string, std::string> stats;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    struct stat st;
    if (lstat(entry.path().c_str(), &st) != 0) continue;
    stats[entry.path()] =
        std::to_string(st.st_ino) + " " + std::to_string(st.st_mode) + " " +
        std::to_string(st.st_size) + " " + std::to_string(st.st_mtim.tv_sec) +
        "." + std::to_string(st.st_mtim.tv_nsec) + " " +
        std::to_string(st.st_ctim.tv_sec) + "." +
        std::to_string(st.st_ctim.tv_nsec) + " " +
        // Hostile headers' sparse files of gigabytes: their times alone.
        (S_ISREG(st.st_mode) && st.st_size <= (64 << 20)
             ? ReadFile(entry.path())
             : "");
  }
  struct stat st;
  if (lstat(folder.c_str(), &st) == 0) {
    stats[folder] = std::to_string(st.st_mtim.tv_nsec);
  }
  return stats;
}

// Each medium: a dry run of the new drive says 1 and moves nothing; after
// the run, a dry run says 0 and moves nothing.
TEST(DiskImage, DryRunMovesNoByteOrTime) {
  for (DriveMedium medium :
       {kOnFolder, kOnFat12Floppy, kOnFat16Qcow2, kOnFat16Vdi, kOnFat16FixedVdi,
        kOnFat16VirtualPcVhd, kOnFat16VhdChild}) {
    SCOPED_TRACE(MediumName(medium));
    ScratchDrive drive;
    std::string sample = drive.root + "/sample";
    CopySample(sample);
    std::string holder = drive.root + "/drive";
    fs::create_directory(holder);
    std::string location = holder + "/c";
    if (medium == kOnFolder) {
      CopySample(location);
    } else {
      MakeImage(medium, location, sample);
    }
    std::map<std::string, std::string> names = {{"c", location}};
    std::string tmp = "TMPDIR=" + drive.root;
    for (int expected : {1, 0}) {
      auto before = Stats(holder);
      Invocation dry = Invoke({"-n", "{c}"}, names, tmp);
      EXPECT_EQ(dry.status, expected) << dry.err;
      EXPECT_TRUE(Stats(holder) == before) << "the dry run moved something";
      EXPECT_EQ(Invoke({"{c}"}, names, tmp).status, 0);
    }
  }
}

// Makes the first cluster of root file `name` (as stored: "AUTOEXECBAT")
// of a 1.44 MB FAT12 floppy made by mformat lead back to itself.
bool LoopFirstCluster(const std::string& image, const std::string& name) {
  const size_t kSector = 512, kFatSectors = 9, kRootEntries = 224;
  std::string bytes = ReadFile(image);
  size_t root = (1 + 2 * kFatSectors) * kSector;
  for (size_t entry = root; entry < root + 32 * kRootEntries; entry += 32) {
    if (bytes.compare(entry, 11, name) != 0) continue;
    unsigned cluster = static_cast<unsigned char>(bytes[entry + 26]) |
                       static_cast<unsigned char>(bytes[entry + 27]) << 8;
    for (size_t fat = kSector; fat < root; fat += kFatSectors * kSector) {
      size_t at = fat + cluster * 3 / 2;
      unsigned pair = static_cast<unsigned char>(bytes[at]) |
                      static_cast<unsigned char>(bytes[at + 1]) << 8;
      pair = cluster % 2 == 0 ? (pair & 0xF000) | cluster
                              : (pair & 0x000F) | cluster << 4;
      bytes[at] = static_cast<char>(pair & 0xFF);
      bytes[at + 1] = static_cast<char>(pair >> 8);
    }
    std::ofstream(image, std::ios::binary) << bytes;
    return true;
  }
  return false;
}

// Failures an image brings, each with its status and line.
TEST(DiskImage, CommandLineFailuresOnImages) {
  ScratchDrive drive;
  std::string sample = drive.root + "/sample";
  CopySample(sample);
  std::map<std::string, std::string> names;
  for (const char* name :
       {"loop", "held", "zeros", "good", "nojournal", "nobacking"}) {
    names[name] = drive.root + "/" + name + ".img";
  }
  // AUTOEXEC.BAT over two clusters, its first leading back to itself.
  std::string padding;
  for (int i = 0; i < 40; ++i) padding += "REM padding padding padding\r\n";
  std::ofstream(sample + "/AUTOEXEC.BAT", std::ios::app) << padding;
  MakeImage(kOnFat12Floppy, names["loop"], sample);
  ASSERT_TRUE(LoopFirstCluster(names["loop"], "AUTOEXECBAT"));
  MakeImage(kOnFat12Floppy, names["held"], sample);
  MakeImage(kOnFat12Floppy, names["good"], sample);
  // A folder where the journal must go.
  MakeImage(kOnFat16Qcow2, names["nojournal"], sample);
  fs::create_directory(names["nojournal"] + "-journal");
  std::ofstream(names["zeros"]) << std::string(1 << 20, '\0');
  ASSERT_TRUE(Shell("qemu-img create -q -f qcow2 -u -b gone.qcow2 -F qcow2 " +
                    names["nobacking"] + " 1M"));
  // A lock of another open file, as QEMU holds its images.
  int held = open(names["held"].c_str(), O_RDWR | O_CLOEXEC);
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  ASSERT_EQ(fcntl(held, F_OFD_SETLK, &lock), 0);

  struct Row {
    const char* name;
    std::vector<std::string> args;
    const char* env;
    int status;
    std::string err;  // its start
  } rows[] = {
      {"a cluster chain that loops",
       {"{loop}"},
       "",
       2,
       "dossetup: {loop}: C:\\autoexec.bat: cannot be read: mtype: loop "
       "detected"},
      {"in use",
       {"-n", "{held}"},
       "",
       75,
       "dossetup: {held}: in use by another process; try again later\n"},
      {"no FAT volume",
       {"{zeros}"},
       "",
       65,
       "dossetup: {zeros}: no FAT volume that can be drive C\n"},
      {"no journal",
       {"{nojournal}"},
       "",
       73,
       "dossetup: {nojournal}: cannot make the journal beside the image\n"},
      {"a backing file that is gone",
       {"-n", "{nobacking}"},
       "",
       66,
       "dossetup: {nobacking}: a file the image names: \"gone.qcow2\" does "
       "not exist\n"},
      {"no mtools",
       {"{good}"},
       "PATH=/nonexistent",
       69,
       "dossetup: {good}: mtools is not installed\n"},
      {"one failing among several",
       {"{held}", "{good}"},
       "",
       75,
       "dossetup: {held}: in use by another process; try again later\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Invocation result = Invoke(row.args, names, row.env);
    EXPECT_EQ(result.status, row.status);
    std::string err = Fill(row.err, names);
    EXPECT_EQ(result.err.substr(0, err.size()), err);
  }
  // The good image after the held one was still set up.
  EXPECT_EQ(Invoke({"-n", "{good}"}, names).status, 0);
  close(held);
}

// The big-endian number of `size` bytes at `at` of `bytes`, read or set;
// a VHD's header (at 512 in the children made here) then gets its checksum
// anew.
uint64_t Number(const std::string& bytes, size_t at, int size,
                bool little_endian = false) {
  uint64_t value = 0;
  for (int i = 0; i < size; ++i) {
    size_t byte = little_endian ? at + size - 1 - i : at + i;
    value = value << 8 | static_cast<unsigned char>(bytes[byte]);
  }
  return value;
}
void SetNumber(std::string* bytes, size_t at, int size, uint64_t value) {
  for (int i = size - 1; i >= 0; --i, value >>= 8) {
    (*bytes)[at + i] = static_cast<char>(value & 0xFF);
  }
}
void Checksum(std::string* bytes, size_t start, size_t length, size_t field) {
  SetNumber(bytes, start + field, 4, 0);
  uint32_t sum = 0;
  for (size_t i = start; i < start + length; ++i) {
    sum += static_cast<unsigned char>((*bytes)[i]);
  }
  SetNumber(bytes, start + field, 4, ~sum);
}

// Images whose own metadata would lead a run astray, each refused before
// anything is written, in under 5 s and with a peak of at most 16 MiB (in
// the plain build), every byte kept; the differencing VHDs are the children
// made here (header at 512, table at 1536, a relative locator first).
// Headers of each format the program reads itself claim tables of millions
// of entries, mostly holes of a sparse file (`length`).
TEST(DiskImage, RefusesWhatAnImageHeaderMisstates) {
  ScratchDrive drive;
  std::string sample = drive.root + "/sample";
  CopySample(sample);
  std::string folder = drive.root + "/images";
  std::string image = folder + "/c.vhd";
  auto footer_of = [](const std::string& bytes) {
    return bytes.substr(bytes.size() - 512);
  };
  // A header of `size` bytes holding the little-endian `fields` (offset,
  // bytes, value) after `magic`.
  auto header =
      [](size_t size, const std::string& magic,
         std::initializer_list<std::tuple<size_t, int, uint64_t>> fields) {
        std::string bytes(size, '\0');
        bytes.replace(0, magic.size(), magic);
        for (const auto& [at, width, value] : fields) {
          for (int i = 0; i < width; ++i) {
            bytes[at + i] = static_cast<char>(value >> (8 * i));
          }
        }
        return bytes;
      };
  const std::string growing = std::string("Bochs Virtual HD Image") +
                              std::string(10, '\0') + "Redolog" +
                              std::string(9, '\0') + "Growing";
  struct Row {
    const char* name;
    std::function<void(std::string*)> edit;  // the child's bytes
    int status;
    const char* said;
    std::string image = "c.vhd";
    uint64_t length = 0;  // grown to, with a hole
  } rows[] = {
      {"a child cut short inside its last block",
       [&](std::string* bytes) {
         std::string footer = footer_of(*bytes);
         bytes->resize(bytes->size() - 512 - (1 << 20));
         *bytes += footer;
       },
       65, "holds a VHD block that runs past the end of the file"},
      {"a block table off a sector's start",
       [&](std::string* bytes) {
         std::string footer = footer_of(*bytes);
         std::string table = bytes->substr(1536, 512);
         bytes->resize(bytes->size() - 512);
         SetNumber(bytes, 512 + 16, 8, bytes->size() + 1);
         Checksum(bytes, 512, 1024, 36);
         *bytes +=
             std::string(1, '\0') + table + std::string(511, '\0') + footer;
       },
       65, "holds a VHD block table off a sector's start"},
      {"a table entry for a block past the disk",
       [&](std::string* bytes) {
         SetNumber(bytes, 512 + 28, 4, 128);
         SetNumber(bytes, 1536 + 4 * 100, 4, 0xFFFFFFFE);
         Checksum(bytes, 512, 1024, 36);
       },
       65, "holds a VHD block past the end of its disk"},
      {"a table entry inside the disk far past the end of the file",
       [&](std::string* bytes) {
         SetNumber(bytes, 1536 + 4 * 7, 4, 0x10000000);
       },
       65, "holds a VHD block that runs past the end of the file"},
      {"a parent locator past the end of the file",
       [&](std::string* bytes) {
         SetNumber(bytes, 512 + 576 + 16, 8, bytes->size() + (1 << 20));
         Checksum(bytes, 512, 1024, 36);
       },
       65, "holds a VHD parent locator past its end"},
      {"a footer that says a saved machine holds the disk",
       [&](std::string* bytes) {
         for (size_t at : {size_t{0}, bytes->size() - 512}) {
           (*bytes)[at + 84] = 1;
           Checksum(bytes, at, 512, 64);
         }
       },
       75, "in use by a saved machine"},
      {"a relative locator that leads to another disk, while the parent's "
       "name beside it is the parent",
       [&](std::string* bytes) {
         ASSERT_TRUE(
             Shell("qemu-img create -q -f vpc " + folder + "/other.vhd 16M"));
         std::string locator;
         for (char c : std::string(".\\other.vhd")) locator += {c, '\0'};
         uint64_t at = Number(*bytes, 512 + 576 + 16, 8);
         bytes->replace(at, locator.size(), locator);
         SetNumber(bytes, 512 + 576 + 8, 4, locator.size());
         Checksum(bytes, 512, 1024, 36);
       },
       65, "other.vhd\" is not the parent the image names"},
      {"a qcow2 of 64 KiB whose clusters would be 2 GiB",
       [&](std::string* bytes) {
         ASSERT_TRUE(Shell("qemu-img create -q -f qcow2 " + image + " 16M"));
         *bytes = ReadFile(image);
         bytes->resize(64 << 10);
         SetNumber(bytes, 20, 4, 31);
       },
       65, "holds a qcow2 cluster size QEMU refuses"},
      {"a VHD whose table claims 4M blocks, all at the file's start",
       [&](std::string* bytes) {
         std::string footer = footer_of(*bytes);
         bytes->resize(bytes->size() - 512);
         SetNumber(bytes, 512 + 16, 8, bytes->size());
         SetNumber(bytes, 512 + 28, 4, 1 << 22);
         Checksum(bytes, 512, 1024, 36);
         *bytes += std::string(16 << 20, '\0') + footer;
       },
       65, "holds a VHD block past the end of its disk"},
      {"a VirtualBox snapshot of 4M blocks of 128 MiB, its map zeros",
       [&](std::string* bytes) {
         *bytes = header(512, std::string(0x40, '\0') + "\x7F\x10\xDA\xBE",
                         {{0x44, 4, 0x00010001},
                          {0x48, 4, 0x180},
                          {0x4C, 4, 4},
                          {0x154, 4, 512},
                          {0x158, 4, 512 + (16 << 20)},
                          {0x168, 4, 512},
                          {0x170, 8, uint64_t{1} << 49},
                          {0x178, 4, 128 << 20},
                          {0x180, 4, 1 << 22},
                          {0x188, 8, 1},
                          {0x198, 8, 2},
                          {0x1A8, 8, 3}});
       },
       65, "holds a VDI block past the blocks it counts", "c.vdi",
       512 + (16 << 20)},
      {"a VirtualBox snapshot without a modification UUID",
       [&](std::string* bytes) {
         ASSERT_TRUE(Shell("qemu-img create -q -f vdi " + image + " 16M"));
         *bytes = ReadFile(image);
         SetNumber(bytes, 0x4C, 1, 4);  // differencing
         bytes->replace(0x198, 16, std::string(16, '\0'));
       },
       65, "holds a VDI header VirtualBox refuses", "c.vdi"},
      {"a Bochs growing disk of 4M catalog entries, the catalog holes",
       [&](std::string* bytes) {
         *bytes = header(512, growing,
                         {{64, 4, 0x00020000},
                          {68, 4, 512},
                          {72, 4, 1 << 22},
                          {76, 4, 1},
                          {80, 4, 4096},
                          {88, 8, 16 << 20}});
       },
       65, "holds a Bochs redolog extent past the end of its disk", "c.img",
       512 + (16 << 20)},
      {"a Bochs growing disk of 4M extents, each in a hole of the file",
       [&](std::string* bytes) {
         *bytes = header(512, growing,
                         {{64, 4, 0x00020000},
                          {68, 4, 512},
                          {72, 4, 1 << 22},
                          {76, 4, 1},
                          {80, 4, 4096},
                          {88, 8, uint64_t{1} << 34}});
         for (uint32_t i = 0; i < (1u << 22); ++i) {
           for (int b = 0; b < 4; ++b) *bytes += static_cast<char>(i >> 8 * b);
         }
       },
       65, "no FAT volume", "c.img", 512 + (16 << 20) + (uint64_t{4608} << 22)},
      {"a Bochs sparse disk of 2^32 - 1 pages, its table holes",
       [&](std::string* bytes) {
         *bytes = header(256, "",
                         {{0, 4, 0x02468ACE},
                          {4, 4, 2},
                          {8, 4, 4096},
                          {12, 4, 0xFFFFFFFF},
                          {16, 8, 16 << 20}});
       },
       65, "holds more Bochs sparse pages than this program reads", "c.img",
       (uint64_t{1} << 34) + 4096},
      {"a Bochs sparse disk of 128 pages of 64 MiB, each in a hole of the file",
       [&](std::string* bytes) {
         *bytes = header(768, "",
                         {{0, 4, 0x02468ACE},
                          {4, 4, 2},
                          {8, 4, 64 << 20},
                          {12, 4, 128},
                          {16, 8, uint64_t{1} << 33}});
         for (int i = 0; i < 128; ++i) {
           (*bytes)[256 + 4 * i] = static_cast<char>(127 - i);  // unordered
         }
       },
       65, "no FAT volume", "c.img", uint64_t{129} << 26},
      {"an 86Box HDX whose disk is 2^60 bytes",
       [&](std::string* bytes) {
         *bytes = header(4096, "\x59\x54\x44\x44\x20\xA8\x78\xD7",
                         {{8, 8, uint64_t{1} << 60}, {16, 4, 512}});
       },
       65, "holds less of its disk than its 86Box header says", "c.hdx"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    fs::remove_all(folder);
    fs::create_directories(folder);
    image = folder + "/c.vhd";
    MakeImage(kOnFat16VhdChild, image, sample);
    std::string bytes = ReadFile(image);
    row.edit(&bytes);
    fs::remove(image);
    image = folder + "/" + row.image;
    std::ofstream(image, std::ios::binary | std::ios::trunc) << bytes;
    if (row.length) fs::resize_file(image, row.length);
    auto before = Stats(folder);
    auto start = std::chrono::steady_clock::now();
    Invocation result = Invoke({image});
    EXPECT_LT(std::chrono::steady_clock::now() - start,
              std::chrono::seconds(5));
    EXPECT_EQ(result.status, row.status) << result.err;
    EXPECT_NE(result.err.find(row.said), std::string::npos) << result.err;
#ifndef DOSSETUP_SANITIZED
    // The sanitizers' own shadow memory alone takes more.
    EXPECT_LE(result.peak_kib, 16 * 1024);
#endif
    EXPECT_TRUE(Stats(folder) == before) << "a byte or a time moved";
  }
  fs::remove_all(folder);
}

// Machine files named as the drive, as each emulator writes them beside
// its disk: each leads to its drive C, the disk its BIOS boots, which is
// set up as if named (-v says which it took) while another Windows 95 disk
// of the machine keeps every byte; one that names none, a missing one, a
// saved machine or one its emulator refuses keeps every byte, with its
// line and status; a file of 4 MiB of each kind is judged within 16 MiB
// and 5 s. Its sound card is said where it is
// where the BLASTER line says (-v), else on standard error, a dry run the
// same, the status the run's.
// Where libvirt keeps a domain's managed save.
const std::string kSaved = "/var/lib/libvirt/qemu/save";
const std::string kMachines =
    std::string(DOSSETUP_SOURCE_DIR) + "/tests/data/machines/";

TEST(DiskImage, MachineFilesLeadToDriveC) {
  ScratchDrive drive;
  std::string sample = drive.root + "/sample";
  CopySample(sample);
  std::string folder = drive.root + "/machine";
  auto write = [&](const std::string& name, const std::string& text) {
    std::ofstream(folder + "/" + name) << text;
  };
  // The disk: raw, or converted by qemu-img to `format`.
  auto disk = [&](const std::string& name, const std::string& format) {
    MakeImage(kOnFat16Disk, folder + "/" + name, sample);
    if (format != "raw") {
      ASSERT_TRUE(Shell("qemu-img convert -O " + format + " " + folder + "/" +
                        name + " " + folder + "/" + name + ".new && mv " +
                        folder + "/" + name + ".new " + folder + "/" + name));
    }
  };
  // A Bochs machine of `mode` whose drive C holds the sample, named by the
  // bochsrc it writes.
  auto bochs = [&](BochsMode mode) {
    std::string before = folder + "/before.raw", after = folder + "/after.raw";
    MakeImage(kOnFat16Disk, before, "");
    MakeImage(kOnFat16Disk, after, sample);
    MakeBochsDisk(mode, folder + "/bochsrc", before, after);
    fs::remove(before);
    fs::remove(after);
  };
  // Sets the little-endian number of 4 bytes at `at` of file `name`.
  auto set = [&](const std::string& name, std::streamoff at, uint32_t value) {
    std::fstream file(folder + "/" + name,
                      std::ios::binary | std::ios::in | std::ios::out);
    file.seekp(at);
    for (int i = 0; i < 4; ++i) file.put(static_cast<char>(value >> (8 * i)));
  };
  // A file of about 4 MiB: `head`, `unit` again and again, `tail`.
  auto large = [&](const std::string& name, const std::string& head,
                   const std::string& unit, const std::string& tail) {
    std::string text = head;
    while (text.size() + unit.size() + tail.size() <= (4u << 20)) text += unit;
    write(name, text + tail);
  };
  // The undoable disk's base converted by bximage to `mode`, in its place.
  auto base_as = [&](const std::string& mode) {
    bochs(kBochsUndoable);
    ASSERT_TRUE(Shell(
        "cd " + folder + " && bximage -func=convert -imgmode=" + mode +
        " -q bochsrc.c base.new >/dev/null && mv " + "base.new bochsrc.c"));
  };
  // The undoable disk's base converted by qemu-img to a VDI, in its place.
  auto vdi_base = [&] {
    bochs(kBochsUndoable);
    ASSERT_TRUE(Shell("cd " + folder +
                      " && qemu-img convert -O vdi bochsrc.c b && mv b "
                      "bochsrc.c"));
  };
  struct Row {  // NOLINT(clang-analyzer-optin.performance.Padding)
    const char* name;
    const char* machine;  // its files, from tests/data/machines
    std::function<void()> make;
    std::string named;
    int status;
    std::string said;  // on stderr, or, when it works, in the verbose lines
    const char* kept = "";  // another Windows 95 disk, which keeps its bytes
    bool bounded = false;   // judged within 16 MiB and 5 s
    // Refused once the run had worked: its journal came and went, so the
    // folder's own time moved, and no file's.
    bool journal_went = false;
    // Of its sound card: verbose where it agrees, else on stderr, in a dry
    // run too.
    const char* sound = nullptr;
    const char* base = "bochsrc.c";  // of a Bochs undoable disk
  } rows[] = {
      {"a VMware machine after a snapshot: its delta over its parent",
       "vmware-snapshot",
       [&] {
         disk("Win95.vmdk", "vmdk");
         ASSERT_TRUE(Shell("cd " + folder +
                           " && qemu-img create -q -f vmdk -b Win95.vmdk -F "
                           "vmdk Win95-000001.vmdk"));
       },
       "Win95.vmx", 0, "drive C is {folder}/Win95-000001.vmdk"},
      {"a suspended VMware machine", "vmware-suspended",
       [&] { disk("Win95.vmdk", "vmdk"); }, "Win95.vmx", 75,
       "in use by a suspended VMware machine"},
      {"a VMware machine with a CD-ROM drive alone", "vmware-cdrom", [] {},
       "Win95.vmx", 66, "a VMware machine that names no hard disk"},
      {"an undoable Bochs machine whose journal= names its redolog", "",
       [&] {
         bochs(kBochsUndoable);
         fs::rename(folder + "/bochsrc.c.redolog", folder + "/my.log");
         std::ofstream(folder + "/bochsrc", std::ios::app)
             << "ata0-master: type=disk, path=\"bochsrc.c\", mode=undoable, "
                "journal=\"my.log\"\n";
       },
       "bochsrc", 0, "drive C is {folder}/my.log"},
      {"an undoable Bochs machine", "", [&] { bochs(kBochsUndoable); },
       "bochsrc", 0, "drive C is {folder}/bochsrc.c.redolog"},
      {"a Bochs machine of sparse layers", "", [&] { bochs(kBochsSparse); },
       "bochsrc", 0, "drive C is {folder}/bochsrc.s.1"},
      {"a Bochs machine whose sparse layer runs on 4 TiB in holes", "",
       [&] {
         bochs(kBochsSparse);
         fs::resize_file(folder + "/bochsrc.s.1", uint64_t{1} << 42);
       },
       "bochsrc", 0, "drive C is {folder}/bochsrc.s.1", "", true},
      {"a Bochs machine whose drive C is volatile", "bochs-volatile", [] {},
       "bochsrc", 66, "volatile"},
      {"a Bochs machine with a CD-ROM drive at ata0-master", "bochs-cdrom",
       [] {}, "bochsrc", 66, "a Bochs machine that names no hard disk"},
      {"an undoable redolog for a disk of another size", "",
       [&] {
         bochs(kBochsUndoable);
         set("bochsrc.c.redolog", 88, 8 << 20);
       },
       "bochsrc.c.redolog", 65, "its size differs"},
      {"an undoable redolog stamped with another time than its base's", "",
       [&] {
         bochs(kBochsUndoable);
         set("bochsrc.c.redolog", 84, 0x12345678);
       },
       "bochsrc.c.redolog", 65, "its time differs"},
      {"a version-1 undoable redolog, its disk size at 88 as bximage reads it",
       "",
       [&] {
         bochs(kBochsUndoable);
         set("bochsrc.c.redolog", 64, 0x00010000);
       },
       "bochsrc", 0, "drive C is {folder}/bochsrc.c.redolog"},
      {"an undoable disk over a growing base", "", [&] { base_as("growing"); },
       "bochsrc", 0, "drive C is {folder}/bochsrc.c.redolog"},
      {"an undoable disk over a sparse base", "", [&] { base_as("sparse"); },
       "bochsrc", 0, "drive C is {folder}/bochsrc.c.redolog"},
      {"an undoable disk over a sparse layer c1, which reads c0 below it", "",
       [&] {
         base_as("sparse");
         fs::rename(folder + "/bochsrc.c", folder + "/c0");
         fs::rename(folder + "/bochsrc.c.redolog", folder + "/c1.redolog");
         std::string layer = ReadFile(folder + "/c0").substr(0, 256);
         layer += std::string(4 * Number(layer, 12, 4, true), '\xFF');
         layer.resize(Number(layer, 8, 4, true), '\0');  // one page holds it
         write("c1", layer);
         write("bochsrc",
               "ata0-master: type=disk, path=\"c1\", mode=undoable\n");
       },
       "bochsrc", 0, "drive C is {folder}/c1.redolog", "", false, false,
       nullptr, "c1"},
      {"an undoable disk over a VDI base", "", vdi_base, "bochsrc", 0,
       "drive C is {folder}/bochsrc.c.redolog"},
      {"an undoable disk over a VDI with a zero block, which Bochs misreads",
       "",
       [&] {
         vdi_base();
         set("bochsrc.c", 0x200 + 4 * 15, 0xFFFFFFFE);  // a free block's
       },
       "bochsrc", 65, "a VDI with a zero block"},
      {"an undoable redolog 100 bytes larger than its base", "",
       [&] {
         bochs(kBochsUndoable);
         set("bochsrc.c.redolog", 88, (16 << 20) + 100);
       },
       "bochsrc", 65, "its size differs"},
      {"an undoable redolog whose catalog has no free slot", "",
       [&] {
         // The redolog's disk committed into its base by bximage, the
         // redolog then emptied but for its last slot, which an extent
         // past the volume takes: every change needs an extent.
         bochs(kBochsUndoable);
         ASSERT_TRUE(Shell("cd " + folder +
                           " && cp bochsrc.c.redolog log && bximage "
                           "-func=commit -q bochsrc.c log >/dev/null"));
         std::string log = ReadFile(folder + "/bochsrc.c.redolog");
         uint64_t entries = Number(log, 72, 4, true);
         uint64_t slot = (Number(log, 76, 4, true) + 511) / 512 * 512 +
                         (Number(log, 80, 4, true) + 511) / 512 * 512;
         uint64_t last =
             (Number(log, 88, 8, true) - 1) / Number(log, 80, 4, true);
         log.replace(512, 4 * entries, std::string(4 * entries, '\xFF'));
         log.resize(512 + 4 * entries + entries * slot, '\0');
         for (int i = 0; i < 4; ++i) {
           log[512 + 4 * last + i] = static_cast<char>((entries - 1) >> 8 * i);
         }
         std::ofstream(folder + "/bochsrc.c.redolog", std::ios::binary) << log;
       },
       "bochsrc", 65, "catalog has room for 0 more extents", "", false, true},
      {"a volatile redolog", "",
       [&] {
         bochs(kBochsUndoable);
         std::fstream file(folder + "/bochsrc.c.redolog",
                           std::ios::binary | std::ios::in | std::ios::out);
         file.seekp(48);
         file.write("Volatile", 8);
       },
       "bochsrc.c.redolog", 65, "volatile"},
      {"an undoable disk whose redolog is a growing disk", "",
       [&] {
         bochs(kBochsUndoable);
         std::fstream file(folder + "/bochsrc.c.redolog",
                           std::ios::binary | std::ios::in | std::ios::out);
         file.seekp(48);
         file.write("Growing", 8);
       },
       "bochsrc", 65, "which is no Bochs undoable redolog"},
      {"a redolog Bochs holds", "",
       [&] {
         bochs(kBochsUndoable);
         write("bochsrc.c.redolog.lock", "");
       },
       "bochsrc", 75, "in use by Bochs"},
      {"a sparse layer whose parent Bochs holds", "",
       [&] {
         bochs(kBochsSparse);
         write("bochsrc.s.0.lock", "");
       },
       "bochsrc.s.1", 75, "in use by Bochs"},
      {"an 86Box machine of two disks, drive C a differencing VHD",
       "86box-two-disks",
       [&] {
         MakeImage(kOnFat16VhdChild, folder + "/c.vhd", sample);
         disk("d.img", "raw");
       },
       "86box.cfg", 0, "an 86Box machine's drive C is {folder}/c.vhd"},
      {"an 86Box machine written on Windows, its disk in a folder",
       "86box-windows",
       [&] {
         fs::create_directories(folder + "/disks");
         disk("disks/c.img", "raw");
       },
       "86box.cfg", 0, "drive C is {folder}/disks/c.img"},
      {"an 86Box machine whose disk is on a Windows drive",
       "86box-windows-drive", [] {}, "86box.cfg", 66,
       "C:\\86Box\\c.vhd, which names no file here"},
      {"an 86Box machine of floppy drives alone", "86box-floppies", [] {},
       "86box.cfg", 66, "an 86Box machine that names no hard disk"},
      {"a PCem machine, its Sound Blaster 16 on IRQ 7 whatever it says", "pcem",
       [&] { disk("c.img", "raw"); }, "win95.cfg", 0,
       "a PCem machine's drive C is {folder}/c.img", "", false, false,
       "PCem's Sound Blaster 16 is on IRQ 7, the BLASTER line says 5: set "
       "sndcard = sbprov2 and, in [Sound Blaster Pro v2], irq = 5"},
      {"a DOSBox-X machine, its Sound Blaster on its default IRQ", "dosbox-x",
       [&] { disk("hdd.img", "raw"); }, "win95.conf", 0,
       "a DOSBox-X machine's drive C is {folder}/hdd.img", "", false, false,
       "DOSBox-X's Sound Blaster 16 is on IRQ 7, the BLASTER line says 5: set "
       "irq=5 in [sblaster]"},
      {"a libvirt domain, drive C a qcow2 over a raw base", "libvirt",
       [&] {
         disk("base.img", "raw");
         ASSERT_TRUE(Shell("cd " + folder +
                           " && qemu-img create -q -f qcow2 -b base.img -F raw "
                           "win95.qcow2"));
       },
       "win95.xml", 0, "a libvirt machine's drive C is {folder}/win95.qcow2"},
      {"a libvirt domain libvirt keeps saved", "libvirt-saved",
       [&] {
         disk("c.img", "raw");
         fs::create_directories(kSaved);
         std::ofstream(kSaved + "/dossetup-test-saved.save") << "state";
       },
       "win95.xml", 75, "in use by a libvirt machine kept saved"},
      {"a text file of no emulator's", "notes", [] {}, "notes.txt", 65,
       "no FAT volume that can be drive C"},
      {"a libvirt domain the per-user libvirt keeps saved",
       "libvirt-session-saved",
       [&] {
         disk("c.img", "raw");
         fs::create_directories(folder + "/config/libvirt/qemu/save");
         write("config/libvirt/qemu/save/dossetup-test-session.save", "state");
       },
       "win95.xml", 75, "in use by a libvirt machine kept saved"},
      {"a libvirt domain whose second disk has the first boot order",
       "libvirt-boot-order",
       [&] {
         disk("old.img", "raw");
         disk("c.img", "raw");
       },
       "win95.xml", 0, "drive C is {folder}/c.img", "old.img"},
      {"a libvirt domain booting hd, its virtio disk listed before its IDE one",
       "libvirt-first-bus",
       [&] {
         disk("old.img", "raw");
         disk("c.img", "raw");
       },
       "win95.xml", 0, "drive C is {folder}/c.img", "old.img"},
      {"a PCem machine with its CD-ROM drive on the primary master",
       "pcem-cdrom-primary",
       [&] {
         disk("c.img", "raw");
         disk("d.img", "raw");
       },
       "win95.cfg", 0, "drive C is {folder}/d.img", "c.img"},
      {"a PCem machine whose disk is no full path", "pcem-relative", [] {},
       "win95.cfg", 66, "hdc_fn (line 26) c.img, which is no full path"},
      {"an 86Box machine whose first disk is on bus none", "86box-bus-none",
       [&] {
         disk("old.img", "raw");
         disk("c.img", "raw");
       },
       "86box.cfg", 0, "drive C is {folder}/c.img", "old.img"},
      {"an 86Box machine whose disk on 0:0 has no geometry",
       "86box-zero-geometry",
       [&] {
         disk("old.img", "raw");
         disk("c.img", "raw");
       },
       "86box.cfg", 0, "drive C is {folder}/c.img", "old.img"},
      {"an 86Box machine that gives a key twice", "86box-repeated-key",
       [&] {
         disk("old.img", "raw");
         disk("c.img", "raw");
       },
       "86box.cfg", 0, "drive C is {folder}/c.img", "old.img"},
      {"an 86Box machine that gives [Hard disks] twice",
       "86box-repeated-section",
       [&] {
         disk("old.img", "raw");
         disk("c.img", "raw");
       },
       "86box.cfg", 0, "drive C is {folder}/c.img", "old.img"},
      {"an 86Box machine with disks on 1:0 and 0:1", "86box-channels",
       [&] {
         disk("old.img", "raw");
         disk("c.img", "raw");
       },
       "86box.cfg", 0, "drive C is {folder}/c.img", "old.img"},
      {"an 86Box machine written on Windows, with a byte order mark",
       "86box-bom", [&] { disk("c.img", "raw"); }, "86box.cfg", 0,
       "drive C is {folder}/c.img"},
      {"an 86Box machine whose disk is a FIFO", "86box-fifo",
       [&] { ASSERT_EQ(mkfifo((folder + "/c.img").c_str(), 0600), 0); },
       "86box.cfg", 65, "its drive C {folder}/c.img: not a regular file"},
      {"a VMware machine whose ide0:0 is taken out by a commented FALSE",
       "vmware-comment",
       [&] {
         disk("old.vmdk", "vmdk");
         disk("Win95.vmdk", "vmdk");
       },
       "Win95.vmx", 0, "drive C is {folder}/Win95.vmdk", "old.vmdk"},
      {"a VMware machine whose ide0:0 has no .present", "vmware-no-present",
       [&] {
         disk("old.vmdk", "vmdk");
         disk("Win95.vmdk", "vmdk");
       },
       "Win95.vmx", 0, "drive C is {folder}/Win95.vmdk", "old.vmdk"},
      {"a VMware machine with a CD-ROM drive at ide0:0 and its disk at ide0:1",
       "vmware-cdrom-first", [&] { disk("Win95.vmdk", "vmdk"); }, "Win95.vmx",
       0, "drive C is {folder}/Win95.vmdk"},
      {"a VMware machine whose disk is at scsi0:0", "vmware-scsi",
       [&] { disk("Win95.vmdk", "vmdk"); }, "Win95.vmx", 0,
       "drive C is {folder}/Win95.vmdk"},
      {"a VMware machine whose disk's name has an escape", "vmware-escape",
       [&] { disk("Win95#1.vmdk", "vmdk"); }, "Win95.vmx", 0,
       "drive C is {folder}/Win95#1.vmdk"},
      {"a VMware machine whose disk is gone", "vmware-disk-gone", [] {},
       "Win95.vmx", 66, "ide0:0.fileName (line 6) names"},
      {"a Bochs machine whose ata0-master has no type", "bochs-no-type",
       [&] {
         disk("old.img", "raw");
         disk("c.img", "raw");
       },
       "bochsrc", 0, "drive C is {folder}/c.img", "old.img"},
      {"a Bochs machine with a CD-ROM drive at ata0-master and its disk at "
       "ata0-slave",
       "bochs-cdrom-master", [&] { disk("c.img", "raw"); }, "bochsrc", 0,
       "drive C is {folder}/c.img"},
      {"an undoable Bochs machine whose line ends in a comment", "",
       [&] {
         bochs(kBochsUndoable);
         write("bochsrc",
               "ata0-master: type=disk, path=\"bochsrc.c\", "
               "mode=undoable # Windows 95\n");
       },
       "bochsrc", 0, "drive C is {folder}/bochsrc.c.redolog"},
      {"an undoable Bochs machine whose journal is none", "",
       [&] {
         bochs(kBochsUndoable);
         write("bochsrc",
               "ata0-master: type=disk, path=\"bochsrc.c\", "
               "mode=undoable, journal=none\n");
       },
       "bochsrc", 0, "drive C is {folder}/bochsrc.c.redolog"},
      {"an undoable Bochs machine whose path names $HOME", "",
       [&] {
         bochs(kBochsUndoable);
         write("bochsrc",
               "ata0-master: type=disk, path=$HOME/bochsrc.c, mode=undoable\n");
       },
       "bochsrc", 0, "drive C is {folder}/bochsrc.c.redolog"},
      {"a Bochs machine whose disk is in mode concat", "bochs-concat",
       [&] { disk("c.img", "raw"); }, "bochsrc", 65,
       "(ata0-master) is in mode concat"},
      {"a DOSBox-X machine that mounts c:", "dosbox-x-colon",
       [&] { disk("hdd.img", "raw"); }, "win95.conf", 0,
       "drive C is {folder}/hdd.img"},
      {"a DOSBox-X machine whose options come before the file",
       "dosbox-x-options", [&] { disk("hdd.img", "raw"); }, "win95.conf", 0,
       "drive C is {folder}/hdd.img"},
      {"a DOSBox-X machine that mounts BIOS disk 2", "dosbox-x-number",
       [&] { disk("hdd.img", "raw"); }, "win95.conf", 0,
       "drive C is {folder}/hdd.img"},
      {"a DOSBox-X machine whose lines begin with @", "dosbox-x-at",
       [&] { disk("hdd.img", "raw"); }, "win95.conf", 0,
       "drive C is {folder}/hdd.img"},
      {"a DOSBox-X machine that mounts from ~/", "dosbox-x-home",
       [&] { disk("hdd.img", "raw"); }, "win95.conf", 0,
       "drive C is {folder}/hdd.img"},
      {"a DOSBox-X machine that mounts through a drive mounted before",
       "dosbox-x-mounted",
       [&] {
         fs::create_directories(folder + "/images");
         disk("images/hdd.img", "raw");
       },
       "win95.conf", 0, "drive C is {folder}/images/hdd.img"},
      {"a DOSBox-X machine that mounts e:\\..\\HDD.IMG: DOS stays in e:'s root",
       "dosbox-x-dots",
       [&] {
         fs::create_directories(folder + "/images");
         disk("images/hdd.img", "raw");
         disk("hdd.img", "raw");
       },
       "win95.conf", 0, "drive C is {folder}/images/hdd.img", "hdd.img"},
      {"a DOSBox-X machine that mounts D before C: BIOS disk 2 is D's",
       "dosbox-x-d-first",
       [&] {
         disk("d.img", "raw");
         disk("c.img", "raw");
       },
       "win95.conf", 0, "drive C is {folder}/d.img", "c.img"},
      {"a VirtualBox machine file that is not well formed",
       "virtualbox-malformed", [] {}, "Win95.vbox", 65,
       "not well formed XML (line 5: "},
      {"a libvirt domain that is not well formed", "libvirt-malformed", [] {},
       "win95.xml", 65, "not well formed XML (line 4: "},
      {"a VirtualBox machine file of 5 MiB", "",
       [&] {
         write("Win95.vbox",
               "<VirtualBox>" + std::string(5 << 20, ' ') + "</VirtualBox>");
       },
       "Win95.vbox", 65, "larger than any machine file", "", true},
      {"4 MiB of a VirtualBox disk's location", "",
       [&] {
         large("Win95.vbox",
               "<VirtualBox><Machine><MediaRegistry><HardDisks><HardDisk "
               "uuid=\"{1}\" location=\"",
               "&amp;",
               "\"/></HardDisks></MediaRegistry><StorageControllers>"
               "<StorageController type=\"PIIX4\"><AttachedDevice "
               "type=\"HardDisk\" port=\"0\" device=\"0\"><Image "
               "uuid=\"{1}\"/></AttachedDevice></StorageController>"
               "</StorageControllers></Machine></VirtualBox>");
       },
       "Win95.vbox", 66, "a path longer than any", "", true},
      {"4 MiB of '&' in a VirtualBox machine file", "",
       [&] { large("Win95.vbox", "<VirtualBox name=\"", "&", "\"/>"); },
       "Win95.vbox", 65, "an '&' that begins no entity", "", true},
      {"4 MiB of elements in a VirtualBox machine file", "",
       [&] {
         large("Win95.vbox", "<VirtualBox><Machine>", "<a/>",
               "</Machine></VirtualBox>");
       },
       "Win95.vbox", 66, "no hard disk on an IDE controller", "", true},
      {"4 MiB of a libvirt domain's elements", "",
       [&] {
         large("win95.xml", "<domain><name>w</name><devices>", "<disk/>",
               "</devices></domain>");
       },
       "win95.xml", 65, "more elements than any machine file holds", "", true},
      {"4 MiB of VMware keys", "",
       [&] {
         large("Win95.vmx", "config.version = \"8\"\n", "ide0:0.present = 1\n",
               "");
       },
       "Win95.vmx", 65, "gives ide0:0.present again", "", true},
      {"4 MiB of bochsrc lines", "",
       [&] {
         large("bochsrc", "megs: 32\n", "ata0-master: type=disk, path=c.img\n",
               "");
       },
       "bochsrc", 66, "which does not exist", "", true},
      {"4 MiB of 86Box sections", "",
       [&] { large("86box.cfg", "", "[Hard disks]\nhdd_01_fn = c.img\n", ""); },
       "86box.cfg", 66, "names no hard disk", "", true},
      {"4 MiB of PCem keys", "",
       [&] {
         large("win95.cfg", "model = p55t2p4\n", "hdc_fn = /c.img\n", "");
       },
       "win95.cfg", 66, "no hard disk controller", "", true},
      {"4 MiB of a DOSBox-X line", "",
       [&] { large("win95.conf", "[autoexec]\nmount d ", "d", "\n"); },
       "win95.conf", 66, "no image mounted as drive C", "", true},
      {"4 MiB of DOSBox-X mounts, each of 1000 empty words and 400 -o pairs",
       "",
       [&] {
         std::string words;
         for (int i = 0; i < 1000; ++i) words += "\"\"";
         for (int i = 0; i < 400; ++i) words += " -o a";
         large("win95.conf", "[autoexec]\n", "imgmount 2 " + words + "\n", "");
       },
       "win95.conf", 66, "no image mounted as drive C", "", true},
      {"DOSBox-X mounts through a drive of 20000 files, none as drive C", "",
       [&] {
         fs::create_directories(folder + "/images");
         for (int i = 0; i < 20000; ++i) {
           write("images/" + std::to_string(i), "");
         }
         std::string mounts = "[autoexec]\nmount e images\n";
         for (int i = 0; i < 4000; ++i) mounts += "imgmount -u 3 e:\\C.IMG\n";
         write("win95.conf", mounts);
       },
       "win95.conf", 66, "no image mounted as drive C", "", true},
      {"a DOSBox-X drive C through 800 D\\..\\ in a drive of 50000 files", "",
       [&] {
         fs::create_directories(folder + "/images/d");
         for (int i = 0; i < 50000; ++i) {
           write("images/" + std::to_string(i), "");
         }
         std::string path;
         for (int i = 0; i < 800; ++i) path += "D\\..\\";
         write("win95.conf", "[autoexec]\nmount e images\nimgmount c e:\\" +
                                 path + "C.IMG\n");
       },
       "win95.conf", 66, "C.IMG, which does not exist", "", true},
      {"a VirtualBox machine whose disk is gone", "virtualbox-disk-gone", [] {},
       "Win95.vbox", 66, "Win95.vdi, which does not exist"},
      // Sound cards where the BLASTER line says, elsewhere, or none (VMware
      // and Bochs keep theirs where the line says: their files cannot move
      // it).
      {"DOSBox-X: a Sound Blaster where the BLASTER line says",
       "sound-dosbox-x", [] {}, "agrees.conf", 66, "", "", false, false,
       "DOSBox-X's Sound Blaster 16 is at port 220, IRQ 5, DMA 1, as"},
      {"DOSBox-X: a Sound Blaster on another port", "sound-dosbox-x", [] {},
       "port.conf", 66,
       "Blaster 16 is on port 240, the BLASTER line says 220: set sbbase=220 "
       "in [sblaster]"},
      {"DOSBox-X: a Sound Blaster on another DMA", "sound-dosbox-x", [] {},
       "dma.conf", 66,
       "Blaster Pro 2 is on DMA 3, the BLASTER line says 1: set dma=1 in"},
      {"DOSBox-X: a Sound Blaster on its IRQ 7; the drive set up all the same "
       "and the file unchanged, as a dry run says after",
       "sound-dosbox-x", [&] { disk("hdd.img", "raw"); }, "irq.conf", 0,
       "drive C is {folder}/hdd.img", "irq.conf", false, false,
       "DOSBox-X's Sound Blaster 16 is on IRQ 7, the BLASTER line says 5: set "
       "irq=5 in [sblaster]"},
      {"DOSBox-X: none in [sblaster], one in [sblaster2] where the line says",
       "sound-dosbox-x", [] {}, "second.conf", 66, "", "", false, false,
       "DOSBox-X's Sound Blaster 16 is at port 220, IRQ 5, DMA 1, as"},
      {"DOSBox-X: no Sound Blaster", "sound-dosbox-x", [] {}, "none.conf", 66,
       "DOSBox-X's machine has no Sound Blaster (sbtype=none), the BLASTER "
       "line says one is at 220: set sbtype=sb16 in [sblaster]"},
      {"86Box: a Sound Blaster where the BLASTER line says", "sound-86box",
       [] {}, "agrees.cfg", 66, "", "", false, false,
       "86Box's Sound Blaster 16 is at port 220, IRQ 5, DMA 1, as"},
      {"86Box: a Sound Blaster on another IRQ", "sound-86box", [] {}, "irq.cfg",
       66,
       "Pro v2 is on IRQ 7, the BLASTER line says 5: set irq = 5 in [Sound "
       "Blaster Pro v2 #1]"},
      {"86Box: a Sound Blaster on another port", "sound-86box", [] {},
       "port.cfg", 66,
       "16 is on port 240, the BLASTER line says 220: set base = 0220 in"},
      {"86Box: a Sound Blaster on another DMA", "sound-86box", [] {}, "dma.cfg",
       66, "16 is on DMA 3, the BLASTER line says 1: set dma = 1 in [Sound"},
      {"86Box: no Sound Blaster", "sound-86box", [] {}, "none.cfg", 66,
       "no Sound Blaster, the BLASTER line says one is at 220: set sndcard "
       "= sb16 in [Sound]"},
      {"PCem: a Sound Blaster where the BLASTER line says", "sound-pcem", [] {},
       "agrees.cfg", 66, "", "", false, false,
       "PCem's Sound Blaster Pro v2 is at port 220, IRQ 5, DMA 1, as"},
      {"PCem: a Sound Blaster on another port", "sound-pcem", [] {}, "port.cfg",
       66, "v2 is on port 240, the BLASTER line says 220: set addr = 544 in"},
      {"PCem: a Sound Blaster on another DMA", "sound-pcem", [] {}, "dma.cfg",
       66, "v2 is on DMA 3, the BLASTER line says 1: set dma = 1 in [Sound"},
      {"PCem: a Sound Blaster 16, on IRQ 7 always", "sound-pcem", [] {},
       "irq.cfg", 66,
       "16 is on IRQ 7, the BLASTER line says 5: set sndcard = sbprov2 and, "
       "in [Sound Blaster Pro v2], irq = 5"},
      {"PCem: no Sound Blaster", "sound-pcem", [] {}, "none.cfg", 66,
       "PCem's machine has no Sound Blaster, the BLASTER line says"},
      {"libvirt: a Sound Blaster where the BLASTER line says", "sound-libvirt",
       [] {}, "agrees.xml", 66, "", "", false, false,
       "libvirt's Sound Blaster 16 is at port 220, IRQ 5, DMA 1, as"},
      {"libvirt: a Sound Blaster on another IRQ", "sound-libvirt", [] {},
       "irq.xml", 66,
       "on IRQ 7, the BLASTER line says 5: set irq='0x5' in the <address> "
       "of its <sound model='sb16'> (line 5)"},
      {"libvirt: a Sound Blaster on another port", "sound-libvirt", [] {},
       "port.xml", 66,
       "on port 240, the BLASTER line says 220: set sb16.iobase=0x220 in "
       "its qemu:arg (line 8)"},
      {"libvirt: a Sound Blaster on another DMA", "sound-libvirt", [] {},
       "dma.xml", 66,
       "on DMA 3, the BLASTER line says 1: set sb16.dma=1 in its qemu:arg"},
      {"libvirt: a -device sb16 whose DSP is a 2.0's", "sound-libvirt", [] {},
       "version.xml", 66,
       "16 with DSP version 2.01 is older than the Sound Blaster Pro 2 the "
       "BLASTER line's T4 says: set version=0x0405 in its qemu:arg -device"},
      {"libvirt: no Sound Blaster", "sound-libvirt", [] {}, "none.xml", 66,
       "no Sound Blaster (its sound card is an ich9), the BLASTER line says "
       "one is at 220: add <sound model='sb16'/> to its <devices>"},
      {"VirtualBox: a Sound Blaster where the BLASTER line says",
       "sound-virtualbox", [] {}, "agrees.vbox", 66, "", "", false, false,
       "VirtualBox's Sound Blaster 16 is at port 220, IRQ 5, DMA 1, as"},
      {"VirtualBox: a Sound Blaster on another IRQ", "sound-virtualbox", [] {},
       "irq.vbox", 66,
       "on IRQ 7, the BLASTER line says 5: set value=\"5\" in its "
       "ExtraDataItem VBoxInternal/Devices/sb16/0/Config/IRQ (line 5)"},
      {"VirtualBox: a Sound Blaster on another port", "sound-virtualbox", [] {},
       "port.vbox", 66,
       "on port 240, the BLASTER line says 220: set value=\"0x220\" in"},
      {"VirtualBox: a Sound Blaster on another DMA", "sound-virtualbox", [] {},
       "dma.vbox", 66, "on DMA 3, the BLASTER line says 1: set value=\"1\" in"},
      {"VirtualBox: an SB16 whose DSP is a 2.0's", "sound-virtualbox", [] {},
       "version.vbox", 66,
       "16 with DSP version 2.01 is older than the Sound Blaster Pro 2 the "
       "BLASTER line's T4 says: set value=\"0x405\" in its ExtraDataItem"},
      {"VirtualBox: no Sound Blaster", "sound-virtualbox", [] {}, "none.vbox",
       66,
       "no Sound Blaster (its audio is off), the BLASTER line says one is at "
       "220: add <AudioAdapter controller=\"SB16\" enabled=\"true\"/>"},
      {"VMware: a Sound Blaster where the BLASTER line says", "sound-vmware",
       [] {}, "agrees.vmx", 66, "", "", false, false,
       "VMware's Sound Blaster 16 is at port 220, IRQ 5, DMA 1, as"},
      {"VMware: no Sound Blaster", "sound-vmware", [] {}, "none.vmx", 66,
       "no Sound Blaster (its sound card is an es1371), the BLASTER line says "
       "one is at 220: set sound.present = \"TRUE\" and sound.virtualDev"},
      {"Bochs: a Sound Blaster where the BLASTER line says", "sound-bochs",
       [] {}, "agrees", 66, "", "", false, false,
       "Bochs' Sound Blaster 16 is at port 220, IRQ 5, DMA 1, as"},
      {"Bochs: no Sound Blaster", "sound-bochs", [] {}, "none", 66,
       "Bochs' machine has no Sound Blaster (sb16: enabled=0), the BLASTER "
       "line says one is at 220: set enabled=1 in its sb16: line (line 6)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    fs::remove_all(folder);
    fs::create_directories(folder);
    std::map<std::string, std::string> names = {{"folder", folder}};
    if (*row.machine) {
      for (const auto& file : fs::directory_iterator(kMachines + row.machine)) {
        write(file.path().filename(), Fill(ReadFile(file.path()), names));
      }
    }
    row.make();
    auto before = Stats(folder);
    std::string kept = *row.kept ? ReadFile(folder + "/" + row.kept) : "";
    struct Unsave {
      ~Unsave() { fs::remove(kSaved + "/dossetup-test-saved.save"); }
    } unsave;
    const std::string env = "HOME={folder} XDG_CONFIG_HOME={folder}/config";
    Invocation run = Invoke({"-v", folder + "/" + row.named}, names, env);
    EXPECT_EQ(run.status, row.status) << run.err;
    EXPECT_TRUE(!*row.kept || ReadFile(folder + "/" + row.kept) == kept)
        << row.kept << " changed";
    if (row.bounded) {
      EXPECT_LT(run.seconds, 5);
#ifndef DOSSETUP_SANITIZED
      EXPECT_LE(run.peak_kib, 16 * 1024);
#endif
    }
    EXPECT_NE((row.status == 0 ? run.out : run.err).find(Fill(row.said, names)),
              std::string::npos)
        << run.out << run.err;
    bool agrees = row.sound && strstr(row.sound, ", as") != nullptr;
    if (row.sound) {
      EXPECT_NE((agrees ? run.out : run.err).find(row.sound), std::string::npos)
          << run.out << run.err;
    }
    if (agrees) {
      EXPECT_EQ(run.err.find("BLASTER"), std::string::npos);
    }
    if (row.status != 0) {
      auto after = Stats(folder);
      if (row.journal_went) after[folder] = before[folder];
      EXPECT_TRUE(after == before) << "a byte or a time moved";
    } else if (fs::exists(folder + "/" + row.base)) {
      // Bochs' own commit of the redolog onto a copy of the base.
      std::string commit = "cd " + folder;
      commit.append(" && cp ").append(row.base).append(" base.raw && cp ");
      if (fs::exists(folder + "/my.log")) {
        commit.append("my.log");
      } else {
        commit.append(row.base).append(".redolog");
      }
      ASSERT_TRUE(Shell(commit.append(
          " base.log && bximage -func=commit base.raw base.log -q")));
      EXPECT_NE(
          ReadFile(folder + "/base.raw").find("SET  BLASTER=A220 I5  D1 T4"),
          std::string::npos);
    } else {
      Invocation dry = Invoke({"-n", folder + "/" + row.named}, names, env);
      EXPECT_EQ(dry.status, 0) << "the second run found more to change";
      if (row.sound) {
        EXPECT_NE(dry.err.find(row.sound), std::string::npos) << dry.err;
      }
    }
  }
}

// Ctrl-C during the first drive: it stops at a safe point, and the next
// drive is never started.
TEST(DiskImage, NoDriveStartsAfterAnInterrupt) {
  ScratchDrive drive;
  std::string sample = drive.root + "/sample";
  std::string second = drive.root + "/second";
  std::string image = drive.root + "/first.img";
  CopySample(sample);
  CopySample(second);
  MakeImage(kOnFat12Floppy, image, sample);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  std::string err = drive.root + "/err";
  if (child == 0) {
    int fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || dup2(fd, STDERR_FILENO) != STDERR_FILENO) _exit(99);
    CatchInterrupts();
    StepArm(1, SIGINT, false);  // at the first helper the image starts
    Options options;
    options.drives = {image, second};
    _exit(RunDrives(options));
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 128 + SIGINT);
  EXPECT_EQ(ReadFile(err), "dossetup: " + image + ": stopped by SIGINT\n");
  EXPECT_TRUE(Shell("diff -r " + sample + " " + second)) << "it was changed";
}

}  // namespace
