// A crash inside the copy, and links that lead outside the drive.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "diskimage/engine/interrupts.h"
#include "platform/host/drive/drive_c.h"
#include "platform/host/drive/folder.h"
#include "platform/host/faults.h"
#include "startup/setup.h"
#include "stops/steps.h"
#include "support/scratch_drive.h"

namespace {

TEST(FaultsDeathTest, ACrashInsideTheCopyLeavesTheTargetWhole) {
  // The child forks from here, so it crashes on this very drive, which
  // this process then reads and removes.
  GTEST_FLAG_SET(death_test_style, "fast");
  for (int nth = 1; nth <= 3; ++nth) {
    ScratchDrive drive;
    LayOutHalfSetUp(drive);
    auto before = drive.Snapshot();
    EXPECT_EXIT(
        {
          FaultArm(kFaultCopy, nth, kFaultAbort);
          RunOn(drive);
          _exit(0);
        },
        testing::KilledBySignal(SIGABRT), "");
    // The target whose copy was cut short holds its old bytes, whole.
    HostChooseDriveC(drive.root.c_str());
    EXPECT_EQ(drive.Read(kUpdatedFiles[nth - 1]),
              before[kUpdatedFiles[nth - 1]])
        << nth;
    // Its new file is left beside it, as a power cut would leave it; the
    // next run removes it.
    auto cut_copies = [&drive] {
      int count = 0;
      for (const auto& entry : drive.Snapshot()) {
        count += entry.first.find(".dossetup-") != std::string::npos;
      }
      return count;
    };
    EXPECT_EQ(cut_copies(), 1) << nth;
    RunOn(drive);
    EXPECT_EQ(cut_copies(), 0) << nth;
  }
}

// Links from inside the drive to a file or folder outside it.
TEST(Confinement, NeverReachesOutsideTheDrive) {
  struct Case {
    const char* link;  // inside the drive
    bool to_folder;
  } cases[] = {
      {"AUTOEXEC.BAT", false},
      {"WINDOWS/DOSSTART.TMP", false},
      {"WINDOWS/SYSTEM/KESTIV.INI", false},
      {"WINDOWS", true},
  };
  for (bool legacy : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.link) + (legacy ? " (no openat2)" : ""));
      ScratchDrive outside;
      outside.Write("victim.txt", "SET  BLASTER=A220 I5  D1 T4\r\nkeep\r\n");
      outside.Write("SYSTEM/KESTIV.INI", "Language=1\r\n");
      auto outside_before = outside.Snapshot();

      ScratchDrive drive;
      LayOutHalfSetUp(drive);
      std::filesystem::path link = drive.root + "/" + c.link;
      std::filesystem::remove_all(link);
      std::filesystem::create_symlink(
          outside.root + (c.to_folder ? "" : "/victim.txt"), link);
      HostForceLegacyResolve(legacy);
      RunOn(drive);
      EXPECT_EQ(outside.Snapshot(), outside_before);
      // The link itself is still there, untouched.
      EXPECT_TRUE(std::filesystem::is_symlink(link));
    }
  }
}

TEST(Confinement, NeverEmptiesASharedFileOrWaitsOnAFifo) {
  ScratchDrive outside;
  outside.Write("victim.txt", "outside bytes\r\n");
  ScratchDrive drive;
  LayOutHalfSetUp(drive);
  // A temporary file name that is a hard link to a file outside.
  ASSERT_EQ(link((outside.root + "/victim.txt").c_str(),
                 (drive.root + "/autoexec.tmp").c_str()),
            0);
  // A target that is a FIFO: opening it must not wait for a writer.
  std::filesystem::remove(drive.root + "/WINDOWS/DOSSTART.BAT");
  ASSERT_EQ(mkfifo((drive.root + "/WINDOWS/DOSSTART.BAT").c_str(), 0644), 0);
  ScratchDrive clean;
  LayOutHalfSetUp(clean);
  RunOn(clean);
  RunOn(drive);
  EXPECT_EQ(outside.Read("victim.txt"), "outside bytes\r\n");
  EXPECT_EQ(drive.Read("AUTOEXEC.BAT"), clean.Read("AUTOEXEC.BAT"));
  EXPECT_FALSE(drive.Exists("autoexec.tmp"));
  EXPECT_FALSE(drive.Exists("WINDOWS/dosstart.tmp"));
  EXPECT_EQ(drive.Read("WINDOWS/SYSTEM/KESTIV.INI"),
            clean.Read("WINDOWS/SYSTEM/KESTIV.INI"));
}

TEST(Confinement, FollowsLinksThatStayInside) {
  ScratchDrive drive;
  LayOutHalfSetUp(drive);
  std::filesystem::rename(drive.root + "/WINDOWS", drive.root + "/REAL");
  std::filesystem::create_directory_symlink("REAL", drive.root + "/WINDOWS");
  RunOn(drive);
  EXPECT_EQ(drive.Read("REAL/DOSSTART.BAT"),
            "X\r\nC:\\WINDOWS\\SYSTEM\\quorvel.exe /N\r\n");
}

}  // namespace
