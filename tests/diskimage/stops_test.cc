// Runs on disk images stopped anywhere: at each step of the work, and
// among the commit's own writes.
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
#include "stops/steps.h"
#include "platform/host/drive/drive_c.h"
#include "platform/host/drive/folder.h"
#include "platform/host/faults.h"
#include "startup/setup.h"
#include "support/program.h"
#include "support/scratch_drive.h"

namespace {

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
// journal waits; after the next run (on a device numbered anew, as after
// a restart) it holds the new ones; it is sound
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
  LayOutHalfSetUp(drive);
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
  void (*lay_out)(const ScratchDrive&) =
      in_commit ? LayOutLarge : LayOutHalfSetUp;
  const std::vector<std::string> files(std::begin(kUpdatedFiles),
                                       std::end(kUpdatedFiles));
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
    if (committed) {
      // A machine that restarts can number the image's device anew, and
      // the record is still its own.
      std::string record = ReadFile(image + "-journal-commit");
      size_t at = record.find("\ndevice ");
      ASSERT_NE(at, std::string::npos) << record;
      record.replace(at + 8, record.find('\n', at + 1) - at - 8, "1");
      std::ofstream(image + "-journal-commit") << record;
    }
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
                    StopRow{kOnFat16Vmdk, 0, false, kQemuImgInCommit},
                    // Written by the program itself: no helper to stop.
                    StopRow{kOnFat16VhdChild, SIGKILL, false},
                    StopRow{kOnFat16VhdChild, SIGKILL, false,
                            kProgramInCommit}),
    [](const testing::TestParamInfo<StopRow>& info) {
      std::string name = MediumName(info.param.medium);
      name = info.param.medium == kOnFat16Disk ? "raw_"
             : info.param.medium == kOnFat16VhdChild
                 ? "VHD_child_"
                 : name.substr(name.rfind(' ') + 1) + "_";
      if (info.param.at == kProgramInCommit) return name + "killed_in_commit";
      if (info.param.at == kQemuImgInCommit) return name + "qemu_img_killed";
      const char* signal = info.param.signal == SIGKILL  ? "killed"
                           : info.param.signal == SIGINT ? "ctrl_c"
                                                         : "terminated";
      return name + signal;
    });

}  // namespace
