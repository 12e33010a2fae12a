// Every platform operation of a run made to fail at each of its uses: the
// drive must then hold exactly what the failure handling promises. Also a
// crash inside the copy, and links that lead outside the drive.
#include "platform/host/faults.h"

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

#include "diskimage/interrupts.h"
#include "diskimage/steps.h"
#include "platform/host/drive/drive_c.h"
#include "platform/host/drive/folder.h"
#include "startup/setup.h"
#include "support/scratch_drive.h"

namespace {

void LayOut(const ScratchDrive& drive) {
  drive.LayOutWindows("fra");
  drive.Write("AUTOEXEC.BAT",
              "SET  BLASTER=A220 I5  D1 T4\r\nPATH C:\\WINDOWS\r\n");
  drive.Write("WINDOWS/DOSSTART.BAT",
              "C:\\WINDOWS\\SYSTEM\\quorvel.exe /N\r\nX\r\n");
  drive.Write("WINDOWS/SYSTEM/KESTIV.INI", "[Card]\r\nLanguage=1\r\nIrq=5\r\n");
}

const char* const kFiles[] = {"AUTOEXEC.BAT", "WINDOWS/DOSSTART.BAT",
                              "WINDOWS/SYSTEM/KESTIV.INI"};
const char* const kTemps[] = {"autoexec.tmp", "WINDOWS/dosstart.tmp",
                              "WINDOWS/SYSTEM/kestiv.tmp"};

struct FaultRow {
  FaultOp op;
  int nth;
  // Per file, in the order above: 'o' as before the run, 'n' as after a
  // clean run, '0' as after a clean run but with Language=0.
  const char* files;
  int temp_left;  // index into kTemps of a temporary file left, or -1
};

// A clean run uses, in order: both directory queries with their
// conversions; for each batch file open-write (temporary), open-read
// (target), two reads, close (target), write, close (temporary), copy,
// delete; then the profile, and for the settings file open-read, open-write,
// two reads, close (target), write, close (temporary), copy, delete.
const FaultRow kRows[] = {
    {kFaultSystemDirectory, 1, "ooo", -1},
    {kFaultShortPath, 1, "ooo", -1},
    {kFaultWindowsDirectory, 1, "ooo", -1},
    {kFaultShortPath, 2, "ooo", -1},
    {kFaultOpenWrite, 1, "onn", -1},
    {kFaultOpenWrite, 2, "non", -1},
    {kFaultOpenWrite, 3, "nno", -1},
    // A target that cannot be opened is left alone, never replaced.
    {kFaultOpenRead, 1, "onn", -1},
    {kFaultOpenRead, 2, "non", -1},
    {kFaultOpenRead, 3, "nno", -1},
    // A read failing, at the data or at the end, stops that file only.
    {kFaultRead, 1, "onn", -1},
    {kFaultRead, 2, "onn", -1},
    {kFaultRead, 3, "non", -1},
    {kFaultRead, 4, "non", -1},
    {kFaultRead, 5, "nno", -1},
    {kFaultRead, 6, "nno", -1},
    {kFaultWrite, 1, "onn", -1},
    {kFaultWrite, 2, "non", -1},
    {kFaultWrite, 3, "nno", -1},
    // Closing a file that was only read loses nothing; closing the
    // temporary file may, so nothing is copied.
    {kFaultClose, 1, "nnn", -1},
    {kFaultClose, 2, "onn", -1},
    {kFaultClose, 3, "nnn", -1},
    {kFaultClose, 4, "non", -1},
    {kFaultClose, 5, "nnn", -1},
    {kFaultClose, 6, "nno", -1},
    {kFaultCopy, 1, "onn", -1},
    {kFaultCopy, 2, "non", -1},
    {kFaultCopy, 3, "nno", -1},
    // A failed delete leaves the temporary file; the target is done.
    {kFaultDelete, 1, "nnn", 0},
    {kFaultDelete, 2, "nnn", 1},
    {kFaultDelete, 3, "nnn", 2},
    // No profile: the language number is 0.
    {kFaultProfile, 1, "nn0", -1},
};

std::map<std::string, std::string> Expected(const FaultRow& row,
                                            const ScratchDrive& before,
                                            const ScratchDrive& clean,
                                            const ScratchDrive& language0) {
  std::map<std::string, std::string> files = before.Snapshot();
  for (int i = 0; i < 3; ++i) {
    const ScratchDrive& source = row.files[i] == 'o'   ? before
                                 : row.files[i] == 'n' ? clean
                                                       : language0;
    files[kFiles[i]] = source.Read(kFiles[i]);
  }
  if (row.temp_left >= 0) {
    files[kTemps[row.temp_left]] = clean.Read(kFiles[row.temp_left]);
  }
  return files;
}

// The same rows hold on a folder and inside a disk image.
class FaultsOn : public testing::TestWithParam<DriveMedium> {};

TEST_P(FaultsOn, EveryUseOfEveryOperationHasARow) {
  ScratchDrive drive;
  LayOut(drive);
  RunOn(drive, GetParam());
  for (int op = 0; op < kFaultOpCount; ++op) {
    int uses = FaultUses(static_cast<FaultOp>(op));
    EXPECT_GT(uses, 0) << FaultOpName(static_cast<FaultOp>(op));
    for (int nth = 1; nth <= uses; ++nth) {
      bool found = false;
      for (const FaultRow& row : kRows) {
        found = found || (row.op == op && row.nth == nth);
      }
      EXPECT_TRUE(found) << FaultOpName(static_cast<FaultOp>(op)) << " #"
                         << nth;
    }
  }
}

TEST_P(FaultsOn, EachFailureKeepsItsPromise) {
  ScratchDrive before, clean, language0;
  LayOut(before);
  LayOut(clean);
  RunOn(clean, GetParam());
  language0.Write(kFiles[2],
                  "[Card]\r\nIrq=5\r\nwinpath95=C:\\WINDOWS\r\nLanguage=0\r\n");
  for (const FaultRow& row : kRows) {
    SCOPED_TRACE(std::string(FaultOpName(row.op)) + " #" +
                 std::to_string(row.nth));
    ScratchDrive drive;
    LayOut(drive);
    FaultArm(row.op, row.nth, kFaultFail);
    RunOn(drive, GetParam());
    EXPECT_EQ(FaultUses(row.op) >= row.nth, true) << "fault never reached";
    EXPECT_EQ(drive.Snapshot(), Expected(row, before, clean, language0));
  }
}

INSTANTIATE_TEST_SUITE_P(Media, FaultsOn,
                         testing::Values(kOnFolder, kOnFat16Disk),
                         [](const testing::TestParamInfo<DriveMedium>& info) {
                           return info.param == kOnFolder ? "folder" : "image";
                         });

TEST(FaultsDeathTest, ACrashInsideTheCopyLeavesTheTargetWhole) {
  // The child forks from here, so it crashes on this very drive, which
  // this process then reads and removes.
  GTEST_FLAG_SET(death_test_style, "fast");
  for (int nth = 1; nth <= 3; ++nth) {
    ScratchDrive drive;
    LayOut(drive);
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
    EXPECT_EQ(drive.Read(kFiles[nth - 1]), before[kFiles[nth - 1]]) << nth;
  }
}

// Whether anything of a run is still there: a process naming `image` or
// the run's temporary folder `tmp`, a mount in it, or a file in it. Waits a
// little for a stopped run's daemon and guard to finish.
std::string LeftBehind(const std::string& image, const std::string& tmp) {
  std::string found;
  for (int tries = 0; tries < 500; ++tries) {
    found.clear();
    std::error_code error;
    for (const auto& process :
         std::filesystem::directory_iterator("/proc", error)) {
      // Read with plain calls: the process may end meanwhile.
      std::string line;
      int fd = open((process.path() / "cmdline").c_str(), O_RDONLY | O_CLOEXEC);
      char buffer[4096];
      ssize_t count;
      while (fd >= 0 && (count = read(fd, buffer, sizeof buffer)) > 0) {
        line.append(buffer, static_cast<size_t>(count));
      }
      if (fd >= 0) close(fd);
      bool uses = line.find(image) != std::string::npos ||
                  line.find(tmp) != std::string::npos;
      // An exiting process has no command line, but may still hold files.
      for (const auto& fd :
           std::filesystem::directory_iterator(process.path() / "fd", error)) {
        std::string target = std::filesystem::read_symlink(fd, error);
        uses = uses || target.rfind(image, 0) == 0 || target.rfind(tmp, 0) == 0;
      }
      if (uses) found += " process " + process.path().filename().string();
    }
    if (ViewLeftBehind(tmp)) found += " a mount or a file in TMPDIR";
    if (found.empty()) break;
    usleep(10000);
  }
  return found;
}

// Runs on images cut short at each step of the work (every helper once it
// runs, the commit point, inside the commit): by SIGKILL, by SIGINT to the
// process group as a terminal's Ctrl-C, and by SIGTERM. After the stop the
// image holds all its old files or all its new ones, unless a committed
// journal waits; after the next run it holds the new ones; it is sound
// each time, and nothing of either run is left.
//
// Other rows stop a run among the commit's own writes, once the file it
// writes has begun to change: the whole program killed, or qemu-img alone.
// Their files are large, so that the commit writes for a while.
enum StopAt { kAtEachStep, kProgramInCommit, kQemuImgInCommit };

struct StopRow {
  DriveMedium medium;
  int signal;
  bool to_group;
  StopAt at = kAtEachStep;
};

class Stops : public testing::TestWithParam<StopRow> {};

// Lines enough for a commit that a stop can fall inside.
void LayOutLarge(const ScratchDrive& drive) {
  LayOut(drive);
  std::string lines;
  for (int i = 0; i < 60000; ++i)
    lines += "REM line " + std::to_string(i) + "\r\n";
  drive.Write("AUTOEXEC.BAT", drive.Read("AUTOEXEC.BAT") + lines);
  drive.Write("WINDOWS/SYSTEM/KESTIV.INI",
              drive.Read("WINDOWS/SYSTEM/KESTIV.INI") + lines);
}

TEST_P(Stops, LeaveEveryFileOldOrNew) {
  const StopRow& row = GetParam();
  const bool in_commit = row.at != kAtEachStep;
  void (*lay_out)(const ScratchDrive&) = in_commit ? LayOutLarge : LayOut;
  const std::vector<std::string> files(std::begin(kFiles), std::end(kFiles));
  ScratchDrive old_drive, new_drive;
  lay_out(old_drive);
  lay_out(new_drive);
  RunOn(new_drive);
  std::map<std::string, std::string> old_files, new_files;
  for (const std::string& file : files) {
    old_files[file] = old_drive.Read(file);
    new_files[file] = new_drive.Read(file);
  }
  ScratchDrive drive;
  lay_out(drive);
  std::string image = drive.root + ".img";
  std::string tmp = drive.root + ".tmp";
  std::filesystem::create_directory(tmp);
  setenv("TMPDIR", tmp.c_str(), 1);
  long long commit_bytes = 0;
  auto run = [&](int nth, int signal, bool to_group) {
    pid_t child = fork();
    if (child == 0) {
      setpgid(0, 0);
      CatchInterrupts();
      FaultReset();
      if (in_commit && nth > 0) {
        // Stops spread over the bytes the commit writes, into the image
        // or its copy.
        bool both = row.at == kProgramInCommit;
        StepArmInCommit(
            DOSSETUP_STOP_WRITES,
            {"DOSSETUP_STOP_AT=" + std::to_string(commit_bytes * nth / 11 + 1),
             std::string("DOSSETUP_STOP_PARENT=") + (both ? "1" : "0")});
      } else {
        StepArm(nth, signal, to_group);
      }
      HostChooseDriveC(image.c_str());
      RunSetup();
      _exit(HostReleaseDriveC());
    }
    int status = 0;
    waitpid(child, &status, 0);
    return status;
  };
  std::string spec = MakeImage(row.medium, image, drive.root);
  FaultReset();
  // A first run counts the steps, and the bytes the commit writes.
  std::string count = tmp + "/commit-bytes";
  if (in_commit) {
    StepArmInCommit(DOSSETUP_STOP_WRITES,
                    std::vector<std::string>{"DOSSETUP_STOP_COUNT=" + count});
  }
  HostChooseDriveC(image.c_str());
  RunSetup();
  HostReleaseDriveC();
  if (in_commit) {
    std::ifstream(count) >> commit_bytes;
    std::filesystem::remove(count);
    EXPECT_GT(commit_bytes, 0) << "the commit wrote nothing";
  }
  int steps = in_commit ? 10 : StepUses();
  EXPECT_GT(steps, 9) << "too few steps counted";
  for (int nth = 1; nth <= steps; ++nth) {
    SCOPED_TRACE(std::string(MediumName(row.medium)) + ", signal " +
                 std::to_string(row.signal) + " at step " +
                 std::to_string(nth));
    MakeImage(row.medium, image, drive.root);
    int status = run(nth, row.signal, row.to_group);
    if (row.at == kQemuImgInCommit) {
      // The commit failed, so it waits, committed, for the next run.
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 74) << status;
    } else if (row.signal == SIGKILL) {
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    } else {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + row.signal)
          << status;
    }
    EXPECT_EQ(LeftBehind(image, tmp), "");
    bool committed = std::filesystem::exists(image + "-journal-commit");
    EXPECT_TRUE(!committed || row.signal == SIGKILL || in_commit);
    if (in_commit) {
      EXPECT_TRUE(committed);
    } else if (!committed) {
      ImageContent content = ReadImage(row.medium, image, spec, files);
      EXPECT_TRUE(content.sound);
      EXPECT_TRUE(content.files == old_files || content.files == new_files);
    }
    EXPECT_EQ(WEXITSTATUS(run(0, 0, false)), 0);
    EXPECT_EQ(LeftBehind(image, tmp), "");
    for (const char* left : {"-journal", "-journal-commit", "-journal-image"}) {
      EXPECT_FALSE(std::filesystem::exists(image + left)) << left;
    }
    ImageContent content = ReadImage(row.medium, image, spec, files);
    EXPECT_TRUE(content.sound);
    // Not EXPECT_EQ: a diff of megabytes would swamp the report.
    EXPECT_TRUE(content.files == new_files) << "the files are not all new";
  }
  unsetenv("TMPDIR");
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Stops,
    testing::Values(StopRow{kOnFat16Disk, SIGKILL, false},
                    StopRow{kOnFat16Disk, SIGINT, true},
                    StopRow{kOnFat16Disk, SIGTERM, false},
                    StopRow{kOnFat16Qcow2, SIGKILL, false},
                    StopRow{kOnFat16Qcow2, SIGINT, true},
                    StopRow{kOnFat16Qcow2, SIGTERM, false},
                    StopRow{kOnFat16Disk, SIGKILL, false, kProgramInCommit},
                    StopRow{kOnFat16Disk, 0, false, kQemuImgInCommit},
                    StopRow{kOnFat16Qcow2, SIGKILL, false, kProgramInCommit},
                    StopRow{kOnFat16Qcow2, 0, false, kQemuImgInCommit},
                    StopRow{kOnFat16Vhd, SIGKILL, false, kProgramInCommit},
                    StopRow{kOnFat16Vhd, 0, false, kQemuImgInCommit},
                    StopRow{kOnFat16Vdi, SIGKILL, false, kProgramInCommit},
                    StopRow{kOnFat16Vdi, 0, false, kQemuImgInCommit},
                    StopRow{kOnFat16Vmdk, SIGKILL, false, kProgramInCommit},
                    StopRow{kOnFat16Vmdk, 0, false, kQemuImgInCommit}),
    [](const testing::TestParamInfo<StopRow>& info) {
      std::string name = MediumName(info.param.medium);
      name = info.param.medium == kOnFat16Disk
                 ? "raw_"
                 : name.substr(name.rfind(' ') + 1) + "_";
      if (info.param.at == kProgramInCommit) return name + "killed_in_commit";
      if (info.param.at == kQemuImgInCommit) return name + "qemu_img_killed";
      const char* signal = info.param.signal == SIGKILL  ? "killed"
                           : info.param.signal == SIGINT ? "ctrl_c"
                                                         : "terminated";
      return name + signal;
    });

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
      LayOut(drive);
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
  LayOut(drive);
  // A temporary file name that is a hard link to a file outside.
  ASSERT_EQ(link((outside.root + "/victim.txt").c_str(),
                 (drive.root + "/autoexec.tmp").c_str()),
            0);
  // A target that is a FIFO: opening it must not wait for a writer.
  std::filesystem::remove(drive.root + "/WINDOWS/DOSSTART.BAT");
  ASSERT_EQ(mkfifo((drive.root + "/WINDOWS/DOSSTART.BAT").c_str(), 0644), 0);
  ScratchDrive clean;
  LayOut(clean);
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
  LayOut(drive);
  std::filesystem::rename(drive.root + "/WINDOWS", drive.root + "/REAL");
  std::filesystem::create_directory_symlink("REAL", drive.root + "/WINDOWS");
  RunOn(drive);
  EXPECT_EQ(drive.Read("REAL/DOSSTART.BAT"),
            "X\r\nC:\\WINDOWS\\SYSTEM\\quorvel.exe /N\r\n");
}

}  // namespace
