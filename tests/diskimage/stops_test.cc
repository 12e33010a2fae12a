// Runs on disk images stopped anywhere: at each step of the work, and
// among the commit's own writes.
#include <ctype.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "diskimage/engine/interrupts.h"
#include "platform/host/drive/drive_c.h"
#include "platform/host/drive/folder.h"
#include "platform/host/faults.h"
#include "startup/setup.h"
#include "stops/steps.h"
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
// writes has begun to change: the whole program killed, or qemu-img alone
// where it commits, at ten points spread over the bytes it writes; or, where
// the program writes the format itself, before each of its writes and inside
// each. Their files are large, so that the commit writes for a while.
//
// make test stops at a fixed sample of the steps and of the writes (eight,
// spread evenly); make stops (DOSSETUP_STOPS=every) at each.
enum StopAt { kAtEachStep, kProgramInCommit, kQemuImgInCommit, kAtEachWrite };

// The stops tried of `all`: every one for make stops, else a fixed sample
// of at most eight spread evenly over them, the first and last among them.
std::vector<long long> Sample(const std::vector<long long>& all) {
  const char* every = getenv("DOSSETUP_STOPS");
  const size_t kMost = 8;
  if ((every && std::string(every) == "every") || all.size() <= kMost) {
    return all;
  }
  std::vector<long long> sample;
  for (size_t i = 0; i < kMost; ++i) {
    sample.push_back(all[i * (all.size() - 1) / (kMost - 1)]);
  }
  return sample;
}

struct StopRow {
  DriveMedium medium;
  int signal;
  bool to_group;
  StopAt at = kAtEachStep;
};

class Stops : public testing::TestWithParam<StopRow> {};

// Runs the program on `image` in a child process whose stops `arm` sets
// first; the child's wait status.
int RunInChild(const std::string& image, const std::function<void()>& arm) {
  pid_t child = fork();
  if (child == 0) {
    FaultReset();
    arm();
    HostChooseDriveC(image.c_str());
    RunSetup();
    _exit(HostReleaseDriveC());
  }
  int status = 0;
  waitpid(child, &status, 0);
  return status;
}

// Lines enough for a commit that a stop can fall inside. Each file's size
// changes, so that every run writes the same sectors: a file that keeps its
// size and clusters may keep its directory entry too, when the run's time
// falls in the same two seconds as the entry's.
void LayOutLarge(const ScratchDrive& drive) {
  LayOutHalfSetUp(drive);
  std::string lines;
  for (int i = 0; i < 60000; ++i)
    lines += "REM line " + std::to_string(i) + "\r\n";
  drive.Write("AUTOEXEC.BAT", "PATH C:\\WINDOWS\r\n" + lines);
  drive.Write("WINDOWS/DOSSTART.BAT", "X\r\n");
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
  // The stops: steps, or bytes of the commit at which it is cut.
  std::vector<long long> stops;
  auto run = [&](long long stop, int signal, bool to_group) {
    return RunInChild(image, [&] {
      setpgid(0, 0);
      CatchInterrupts();
      if (in_commit && stop > 0) {
        // Into the image or its copy.
        bool both = row.at != kQemuImgInCommit;
        StepArmInCommit(
            DOSSETUP_STOP_WRITES,
            {"DOSSETUP_STOP_AT=" + std::to_string(stop),
             std::string("DOSSETUP_STOP_PARENT=") + (both ? "1" : "0")});
      } else {
        StepArm(static_cast<int>(stop), signal, to_group);
      }
    });
  };
  std::string spec = MakeImage(row.medium, image, drive.root);
  FaultReset();
  // A first run counts the steps, and the bytes the commit writes: a line
  // a write where the program writes, the bytes so far where qemu-img does.
  std::string count = tmp + "/commit-bytes";
  if (in_commit) {
    StepArmInCommit(DOSSETUP_STOP_WRITES,
                    std::vector<std::string>{"DOSSETUP_STOP_COUNT=" + count});
  }
  HostChooseDriveC(image.c_str());
  RunSetup();
  HostReleaseDriveC();
  std::vector<long long> writes = {0};
  {
    std::ifstream counted(count);
    for (long long total; counted >> total;) writes.push_back(total);
  }
  std::filesystem::remove(count);
  if (row.at == kAtEachStep) {
    for (int nth = 1; nth <= StepUses(); ++nth) stops.push_back(nth);
  } else if (row.at == kAtEachWrite) {
    // Before each write, and inside each that spans sectors.
    for (size_t i = 1; i < writes.size(); ++i) {
      stops.push_back(writes[i - 1] + 1);
      if (writes[i] - writes[i - 1] >= 1024) {
        stops.push_back((writes[i - 1] + writes[i]) / 2);
      }
    }
  } else {
    for (int nth = 1; nth <= 10; ++nth) {
      stops.push_back(writes.back() * nth / 11 + 1);
    }
  }
  EXPECT_GT(in_commit ? writes.back() : 1, 0) << "the commit wrote nothing";
  EXPECT_GT(stops.size(), 9u) << "too few steps or writes counted";
  for (long long stop : Sample(stops)) {
    SCOPED_TRACE(std::string(MediumName(row.medium)) + ", signal " +
                 std::to_string(row.signal) + " at " +
                 (in_commit ? "byte " : "step ") + std::to_string(stop));
    MakeImage(row.medium, image, drive.root);
    int status = run(stop, row.signal, row.to_group);
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
    std::string written = WrittenFile(row.medium, image);
    bool committed = std::filesystem::exists(written + "-journal-commit");
    EXPECT_TRUE(!committed || row.signal == SIGKILL || in_commit);
    if (committed) {
      // A machine that restarts can number the image's device anew, and
      // the record is still its own.
      std::string record = ReadFile(written + "-journal-commit");
      size_t at = record.find("\ndevice ");
      ASSERT_NE(at, std::string::npos) << record;
      record.replace(at + 8, record.find('\n', at + 1) - at - 8, "1");
      std::ofstream(written + "-journal-commit") << record;
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
      EXPECT_FALSE(std::filesystem::exists(written + left)) << left;
    }
    ImageContent content = ReadImage(row.medium, image, spec, files);
    EXPECT_TRUE(content.sound);
    // Not EXPECT_EQ: a diff of megabytes would swamp the report.
    EXPECT_TRUE(content.files == new_files) << "the files are not all new";
  }
  unsetenv("TMPDIR");
}

// A commit cut short, then another program writing into the image before
// the next run (an emulator started on it): the next run writes nothing
// over that, says so with status 74, and keeps the journal.
TEST(Stops, RerunWritesNothingOverAnotherWriter) {
  for (DriveMedium medium : {kOnFat16Disk, kOnFat16Qcow2}) {
    SCOPED_TRACE(MediumName(medium));
    ScratchDrive drive;
    LayOutLarge(drive);
    std::string image = drive.root + ".img";
    std::string count = drive.root + "/commit-bytes";
    auto run = [&](const std::vector<std::string>& settings) {
      return RunInChild(
          image, [&] { StepArmInCommit(DOSSETUP_STOP_WRITES, settings); });
    };
    MakeImage(medium, image, drive.root);
    run({"DOSSETUP_STOP_COUNT=" + count});
    long long total = 0;
    std::ifstream(count) >> total;
    MakeImage(medium, image, drive.root);
    run({"DOSSETUP_STOP_AT=" + std::to_string(total / 2),
         "DOSSETUP_STOP_PARENT=1"});
    ASSERT_TRUE(std::filesystem::exists(image + "-journal-commit"));
    // A sector the commit writes, written meanwhile by the emulator.
    std::string map;
    ASSERT_TRUE(
        Shell("qemu-img map --output=json 'json:{\"driver\":\"qcow2\","
              "\"backing\":null,\"file\":{\"driver\":\"file\",\"filename\":\"" +
              image + "-journal\"}}' | tee " + drive.root + "/map"));
    map = ReadFile(drive.root + "/map");
    size_t data = map.find("\"data\": true");
    size_t start = map.rfind("\"start\": ", data);
    ASSERT_NE(data, std::string::npos);
    std::string offset =
        map.substr(start + 9, map.find(',', start) - start - 9);
    std::string write = "qemu-io -f ";
    write.append(medium == kOnFat16Disk ? "raw" : "qcow2");
    ASSERT_TRUE(Shell(write.append(" -c 'write -P 0xab ")
                          .append(offset)
                          .append(" 512' ")
                          .append(image)));
    std::string before = ReadFile(image);
    Invocation rerun = Invoke({image});
    EXPECT_EQ(rerun.status, 74);
    EXPECT_NE(rerun.err.find("another program wrote to the image"),
              std::string::npos)
        << rerun.err;
    EXPECT_TRUE(ReadFile(image) == before) << "the rerun wrote the image";
    EXPECT_TRUE(std::filesystem::exists(image + "-journal-commit"));
    EXPECT_TRUE(std::filesystem::exists(image + "-journal"));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Stops,
    testing::Values(
        StopRow{kOnFat16Disk, SIGKILL, false},
        StopRow{kOnFat16Disk, SIGINT, true},
        StopRow{kOnFat16Disk, SIGTERM, false},
        StopRow{kOnFat16Qcow2, SIGKILL, false},
        StopRow{kOnFat16Qcow2, SIGINT, true},
        StopRow{kOnFat16Qcow2, SIGTERM, false},
        // A raw image's commit is the program's own: no qemu-img to stop.
        StopRow{kOnFat16Disk, SIGKILL, false, kProgramInCommit},
        StopRow{kOnFat16Qcow2, SIGKILL, false, kProgramInCommit},
        StopRow{kOnFat16Qcow2, 0, false, kQemuImgInCommit},
        StopRow{kOnFat16Vhd, SIGKILL, false, kProgramInCommit},
        StopRow{kOnFat16Vhd, 0, false, kQemuImgInCommit},
        StopRow{kOnFat16Vdi, SIGKILL, false, kProgramInCommit},
        StopRow{kOnFat16Vdi, 0, false, kQemuImgInCommit},
        StopRow{kOnFat16Vmdk, SIGKILL, false, kProgramInCommit},
        StopRow{kOnFat16Vmdk, 0, false, kQemuImgInCommit},
        StopRow{kOnFat16VirtualPcVhd, SIGKILL, false, kProgramInCommit},
        StopRow{kOnFat16VirtualPcVhd, 0, false, kQemuImgInCommit},
        // Written by the program itself: no helper to stop.
        StopRow{kOnFat16VhdChild, SIGKILL, false},
        StopRow{kOnFat16FreshVhdChild, SIGKILL, false, kAtEachWrite},
        StopRow{kOnFat16FreshVhdChildSlack, SIGKILL, false, kAtEachWrite},
        StopRow{kOnFat16VdiSnapshot, SIGKILL, false, kAtEachWrite},
        StopRow{kOnFat16BochsGrowing, SIGKILL, false, kAtEachWrite},
        StopRow{kOnFat16BochsUndoable, SIGKILL, false, kAtEachWrite},
        StopRow{kOnFat16BochsSparse, SIGKILL, false, kAtEachWrite}),
    [](const testing::TestParamInfo<StopRow>& info) {
      // The medium's name, its words joined, less "FAT16".
      std::string name;
      for (char c : std::string(MediumName(info.param.medium))) {
        if (isalnum(static_cast<unsigned char>(c))) name += c;
        if (c == ' ') name += '_';
      }
      if (name.compare(0, 6, "FAT16_") == 0) name = name.substr(6);
      if (info.param.medium == kOnFat16Disk) name = "raw";
      name += "_";
      if (info.param.at == kProgramInCommit) return name + "killed_in_commit";
      if (info.param.at == kAtEachWrite) return name + "killed_at_each_write";
      if (info.param.at == kQemuImgInCommit) return name + "qemu_img_killed";
      const char* signal = info.param.signal == SIGKILL  ? "killed"
                           : info.param.signal == SIGINT ? "ctrl_c"
                                                         : "terminated";
      return name + signal;
    });

}  // namespace
