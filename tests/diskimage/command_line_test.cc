// The host program as users start it on disk images: a dry run moves no
// byte or time of any medium, and each failure an image brings has its
// status and line.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "cli/options.h"
#include "cli/run.h"
#include "diskimage/engine/interrupts.h"
#include "stops/steps.h"
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
        (S_ISREG(st.st_mode) ? ReadFile(entry.path()) : "");
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
       {kOnFolder, kOnFat12Floppy, kOnFat16Qcow2, kOnFat16Vdi,
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
