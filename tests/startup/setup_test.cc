// Whole runs on scratch drives, on a folder in the unit tier and on FAT12,
// FAT16 and FAT32 disk images made from it in the image tier: the sample
// drive, probes that fail, long directory names, missing files.
#include "startup/setup.h"

#include <ctype.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "files/directories.h"
#include "helpers/spawn.h"
#include "support/scratch_drive.h"

namespace fs = std::filesystem;

namespace {

const std::string kSource = DOSSETUP_SOURCE_DIR;

void CopySample(const ScratchDrive& drive, const std::string& folder) {
  fs::copy(kSource + "/" + folder, drive.root, fs::copy_options::recursive);
}

class RunSetupOn : public testing::TestWithParam<DriveMedium> {};

std::map<std::string, std::string> SnapshotOf(const std::string& folder) {
  ScratchDrive copy;
  CopySample(copy, folder);
  return copy.Snapshot();
}

// The helpers the program started since the last call, by word.
std::map<std::string, int> Started() {
  std::map<std::string, int> started;
  started.swap(HelpersStarted());
  return started;
}

// On an image, each of the sample's three folders is listed and each of
// its five files read once a run; the first run writes the three files,
// and the settled one writes nothing, which on a raw disk takes nothing
// but mtools (its bytes prove it raw), and on a fixed VDI mtools and
// qemu-img info. The journal's map is read by the program itself, and on
// a raw disk its commit written by it too: one daemon is all of QEMU.
void RunsTheSampleAndThenChangesNothing(DriveMedium medium) {
  ScratchDrive drive;
  CopySample(drive, "examples/win95");
  Started();
  EXPECT_EQ(RunOn(drive, medium), 0);
  auto expected = SnapshotOf("tests/data/sample-after");
  EXPECT_EQ(drive.Snapshot(), expected);
  std::map<std::string, int> first = Started();
  EXPECT_EQ(RunOn(drive, medium), 0);
  EXPECT_EQ(drive.Snapshot(), expected);
  std::map<std::string, int> settled = Started();
  if (medium == kOnFolder) return;
  std::map<std::string, int> direct = {{"mdir", 3}, {"mtype", 5}};
  if (medium == kOnFat12Floppy || medium == kOnFat16Disk ||
      medium == kOnFat32Disk) {
    EXPECT_EQ(settled, direct);
    direct["mcopy"] = 3;
    direct["qemu-storage-daemon"] = 1;
    EXPECT_EQ(first, direct);
    direct = {{"mdir", 3}, {"mtype", 5}};
  }
  if (medium == kOnFat16FixedVdi) {
    direct["qemu-img info"] = 1;
    EXPECT_EQ(settled, direct);
  }
  for (auto* run : {&first, &settled}) {
    EXPECT_LE((*run)["mdir"], 3);
    EXPECT_LE((*run)["mtype"], 5);
  }
  EXPECT_EQ(first["mcopy"], 3);
  EXPECT_EQ(first["mdel"] + first["qemu-img map"] + settled["mcopy"] +
                settled["mdel"] + settled["qemu-img map"] +
                settled["qemu-img commit"],
            0);
}

TEST_P(RunSetupOn, UpdatesTheSampleDriveAndThenChangesNothing) {
  RunsTheSampleAndThenChangesNothing(GetParam());
}

// The chains emulators keep take the drive's own logic through the same
// paths as a single image does: the sample alone runs on them.
class RunSampleOn : public testing::TestWithParam<DriveMedium> {};

TEST_P(RunSampleOn, UpdatesTheSampleDriveAndThenChangesNothing) {
  RunsTheSampleAndThenChangesNothing(GetParam());
}

TEST_P(RunSetupOn, TouchesNothingWhenTheProbeFails) {
  // Every case is a drive with no Windows directory: exit status 66.
  struct Case {
    const char* name;
    const char* msdos_sys;
    const char* folder;
  } cases[] = {
      {"no Windows directory at all", nullptr, "DOS"},
      {"WinDir names a missing folder", "[Paths]\r\nWinDir=C:\\WIN\r\n",
       "WINDOWS/SYSTEM"},
      {"no system directory to convert", nullptr, "WINDOWS"},
      {"Windows on another drive", "[Paths]\r\nWinDir=D:\\WINDOWS\r\n",
       "WINDOWS/SYSTEM"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDrive drive;
    if (c.msdos_sys) drive.Write("MSDOS.SYS", c.msdos_sys);
    drive.MakeFolder(c.folder);
    drive.Write("AUTOEXEC.BAT", "@ECHO OFF\r\n");
    auto before = drive.Snapshot();
    EXPECT_EQ(RunOn(drive, GetParam()), 66);
    EXPECT_EQ(drive.Snapshot(), before);
  }
}

// Lays out a Windows directory of eight-character folders, `depth` deep,
// with its SYSTEM folder, named in MSDOS.SYS. Returns its Windows path;
// `folder` receives it relative to the drive.
std::string LayOutDeepWindows(const ScratchDrive& drive, int depth,
                              std::string* folder) {
  folder->clear();
  for (int i = 0; i < depth; ++i) {
    *folder += (i ? "/LONGDI" : "LONGDI") + std::to_string(10 + i);
  }
  drive.MakeFolder(*folder + "/SYSTEM");
  std::string text = "C:\\" + *folder;
  for (char& c : text) {
    if (c == '/') c = '\\';
  }
  drive.Write("MSDOS.SYS", "[Paths]\r\nWinDir=" + text + "\r\n");
  return text;
}

TEST_P(RunSetupOn, HandlesTheLongestDirectoriesThatFit) {
  // 27 levels: a Windows directory of 245 characters, a system directory
  // of 252, and a dosstart.bat command longer than a piece.
  ScratchDrive drive;
  std::string windows;
  std::string windows_text = LayOutDeepWindows(drive, 27, &windows);
  drive.Write(windows + "/SYSTEM/KESTIV.INI", "");
  RunOn(drive, GetParam());
  EXPECT_EQ(std::string(SystemDirShort), windows_text + "\\SYSTEM");
  std::string command = windows_text + "\\SYSTEM\\quorvel.exe /N\r\n";
  EXPECT_EQ(drive.Read(windows + "/dosstart.bat"), command);
  EXPECT_EQ(drive.Read(windows + "/SYSTEM/KESTIV.INI"),
            "winpath95=" + windows_text + "\r\nLanguage=0\r\n");
  // The command is longer than a piece, yet found again.
  auto after = drive.Snapshot();
  RunOn(drive, GetParam());
  EXPECT_EQ(drive.Snapshot(), after);
}

TEST_P(RunSetupOn, StopsWhenADirectoryDoesNotFit) {
  // 28 levels: 254 characters, and 261 for the system directory.
  ScratchDrive drive;
  std::string windows;
  LayOutDeepWindows(drive, 28, &windows);
  auto before = drive.Snapshot();
  RunOn(drive, GetParam());
  EXPECT_EQ(drive.Snapshot(), before);
}

TEST_P(RunSetupOn, UpdatesBothBatchFilesWithoutSettingsOrProfile) {
  // Long Windows directories; mtools would read the brackets as a pattern.
  struct Case {
    const char* windows;
    const char* alias;
  } cases[] = {{"Windows 95", "WINDOW~1"}, {"Win[95]", "WIN_95~1"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.windows);
    ScratchDrive drive;
    std::string windows = c.windows;
    std::string alias = std::string("C:\\") + c.alias;
    drive.Write("MSDOS.SYS", "[Paths]\r\nWinDir=C:\\" + windows + "\r\n");
    drive.MakeFolder(windows + "/System");
    RunOn(drive, GetParam());
    EXPECT_EQ(drive.Read("autoexec.bat"), "SET  BLASTER=A220 I5  D1 T4\r\n");
    EXPECT_EQ(drive.Read(windows + "/dosstart.bat"),
              alias + "\\SYSTEM\\quorvel.exe /N\r\n");
    EXPECT_EQ(drive.Snapshot().size(), 3u);  // MSDOS.SYS and the two

    // No WIN.INI: the language is 0.
    drive.Write(windows + "/System/kestiv.ini", "[Card]\r\n");
    RunOn(drive, GetParam());
    EXPECT_EQ(drive.Read(windows + "/System/kestiv.ini"),
              "[Card]\r\nwinpath95=" + alias + "\r\nLanguage=0\r\n");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Media, RunSetupOn,
    testing::ValuesIn(TierMedia(
        {kOnFat12Floppy, kOnFat16Disk, kOnFat32Disk, kOnFat16Vhd, kOnFat16Qcow2,
         kOnFat16Vdi, kOnFat16VirtualPcVhd, kOnFat16Vmdk, kOnFat16VhdChild,
         kOnFat16VdiSnapshot, kOnFat16BochsGrowing, kOnFat16BochsUndoable,
         kOnFat16BochsSparse, kOnFat16FixedVdi})),
    [](const testing::TestParamInfo<DriveMedium>& info) {
      std::string name = MediumName(info.param);
      for (char& c : name) {
        if (c == ' ') c = '_';
      }
      return name;
    });

#ifdef DOSSETUP_IMAGE_TIER
INSTANTIATE_TEST_SUITE_P(Chains, RunSampleOn,
                         testing::Values(kOnFat16VhdChild, kOnFat16VdiSnapshot,
                                         kOnFat16BochsGrowing,
                                         kOnFat16BochsUndoable,
                                         kOnFat16BochsSparse),
                         [](const testing::TestParamInfo<DriveMedium>& info) {
                           std::string name;
                           for (char c : std::string(MediumName(info.param))) {
                             if (isalnum(static_cast<unsigned char>(c)))
                               name += c;
                             if (c == ' ') name += '_';
                           }
                           return name;
                         });
#else
// The unit tier keeps to folders; chains are the image tier's.
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(RunSampleOn);
#endif

}  // namespace
