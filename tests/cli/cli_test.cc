// The host program as users start it: its options, its lines on stderr and
// stdout, its statuses, several drives in one run, and the dry run with
// its diff, which must move no byte or time of the drive.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "support/scratch_drive.h"

namespace fs = std::filesystem;

namespace {

const std::string kSource = DOSSETUP_SOURCE_DIR;
const std::string kUsage =
    "Usage: dossetup [OPTION]... [DRIVE]...\n"
    "Try 'dossetup --help' for more information.\n";

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Runs the program from / with `args`, each `{name}` in them replaced by
// the path `names` gives it, and `env` (NAME=value words) added.
Result Invoke(const std::vector<std::string>& args,
              const std::map<std::string, std::string>& names = {},
              const std::string& env = "") {
  const char* binary = getenv("DOSSETUP_BINARY");
  EXPECT_NE(binary, nullptr) << "DOSSETUP_BINARY is not set";
  if (!binary) return Result();
  ScratchDrive scratch;
  std::string command = "cd / && env " + env + " '" + binary + "'";
  for (std::string arg : args) {
    for (const auto& [name, path] : names) {
      size_t at = arg.find("{" + name + "}");
      if (at != std::string::npos) arg.replace(at, name.size() + 2, path);
    }
    command += " '" + arg + "'";
  }
  command += " >" + scratch.root + "/out 2>" + scratch.root + "/err";
  int status = system(command.c_str());
  Result result;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.out = ReadFile(scratch.root + "/out");
  result.err = ReadFile(scratch.root + "/err");
  return result;
}

// `text` with each `{name}` replaced by its path.
std::string Fill(std::string text,
                 const std::map<std::string, std::string>& names) {
  for (const auto& [name, path] : names) {
    for (size_t at; (at = text.find("{" + name + "}")) != std::string::npos;) {
      text.replace(at, name.size() + 2, path);
    }
  }
  return text;
}

void CopySample(const std::string& to) {
  fs::copy(kSource + "/examples/win95", to, fs::copy_options::recursive);
}

TEST(CommandLine, OptionsUsageAndVersion) {
  struct Row {
    std::vector<std::string> args;
    int status;
    std::string out;  // its start
    std::string err;
  } rows[] = {
      {{"--help"}, 0, "Usage: dossetup [OPTION]... [DRIVE]...\nSet up", ""},
      {{"-h", "--bogus"}, 0, "Usage: dossetup [OPTION]... [DRIVE]...\n", ""},
      {{"--version"}, 0, "dossetup " DOSSETUP_VERSION "\n", ""},
      {{"-V"}, 0, "dossetup " DOSSETUP_VERSION "\n", ""},
      {{"--bogus"},
       64,
       "",
       "dossetup: unrecognized option '--bogus'\n" + kUsage},
      {{"-vx"}, 64, "", "dossetup: invalid option -- 'x'\n" + kUsage},
      {{"--color=sometimes"},
       64,
       "",
       "dossetup: invalid argument 'sometimes' for '--color'; valid arguments "
       "are 'always', 'never' and 'auto'\n" +
           kUsage},
      // After "--", "-n" is a drive, and there is none of that name.
      {{"--", "-n"}, 66, "", "dossetup: -n: No such file or directory\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.args[0]);
    Result result = Invoke(row.args);
    EXPECT_EQ(result.status, row.status);
    EXPECT_EQ(result.out.substr(0, row.out.size()), row.out);
    if (row.out.empty()) {
      EXPECT_EQ(result.out, "");
    }
    EXPECT_EQ(result.err, row.err);
  }
}

// Folders: {good} and {also} hold the sample drive, {bare} holds no
// Windows, {nosettings} no settings file, {folderbat} a folder named
// autoexec.bat; {none} names nothing.
TEST(CommandLine, DrivesStatusesAndMessages) {
  const char* updated =
      "{good}: C:\\autoexec.bat: updated\n"
      "{good}: C:\\WINDOWS\\dosstart.bat: updated\n"
      "{good}: C:\\WINDOWS\\SYSTEM\\kestiv.ini: updated\n";
  struct Row {
    const char* name;
    std::vector<std::string> args;
    const char* env;
    int status;
    std::string out;
    std::string err;
  } rows[] = {
      {"silent on success", {"{good}"}, "", 0, "", ""},
      {"a line a file", {"-v", "{good}"}, "", 0, updated, ""},
      {"set up already",
       {"-v", "{good}", "{good}"},
       "",
       0,
       std::string(updated) +
           "{good}: C:\\autoexec.bat: already set up\n"
           "{good}: C:\\WINDOWS\\dosstart.bat: already set up\n"
           "{good}: C:\\WINDOWS\\SYSTEM\\kestiv.ini: already set up\n",
       ""},
      {"the drive from the environment",
       {"-v"},
       "DOSSETUP_DRIVE_C={good}",
       0,
       updated,
       ""},
      {"no settings file",
       {"-v", "{nosettings}"},
       "",
       0,
       "{nosettings}: C:\\autoexec.bat: updated\n"
       "{nosettings}: C:\\WINDOWS\\dosstart.bat: updated\n"
       "{nosettings}: C:\\WINDOWS\\SYSTEM\\kestiv.ini: absent, left alone\n",
       ""},
      {"a file that cannot be read",
       {"-v", "{folderbat}"},
       "",
       2,
       "{folderbat}: C:\\autoexec.bat: failed: cannot be read: Is a "
       "directory\n"
       "{folderbat}: C:\\WINDOWS\\dosstart.bat: updated\n"
       "{folderbat}: C:\\WINDOWS\\SYSTEM\\kestiv.ini: updated\n",
       "dossetup: {folderbat}: C:\\autoexec.bat: cannot be read: Is a "
       "directory\n"},
      {"no Windows directory",
       {"{bare}"},
       "",
       66,
       "",
       "dossetup: {bare}: no Windows directory: no C:\\MSDOS.SYS naming one, "
       "and no C:\\WINDOWS\n"},
      {"the first failure's status, every failure's line",
       {"{none}", "{good}", "{folderbat}", "{bare}"},
       "",
       66,
       "",
       "dossetup: {none}: No such file or directory\n"
       "dossetup: {folderbat}: C:\\autoexec.bat: cannot be read: Is a "
       "directory\n"
       "dossetup: {bare}: no Windows directory: no C:\\MSDOS.SYS naming one, "
       "and no C:\\WINDOWS\n"},
      {"a file's failure first",
       {"{folderbat}", "{none}"},
       "",
       2,
       "",
       "dossetup: {folderbat}: C:\\autoexec.bat: cannot be read: Is a "
       "directory\n"
       "dossetup: {none}: No such file or directory\n"},
      {"a dry run that would change",
       {"-n", "-v", "{good}", "{also}"},
       "",
       1,
       "{good}: C:\\autoexec.bat: would be updated\n"
       "{good}: C:\\WINDOWS\\dosstart.bat: would be updated\n"
       "{good}: C:\\WINDOWS\\SYSTEM\\kestiv.ini: would be updated\n"
       "{also}: C:\\autoexec.bat: would be updated\n"
       "{also}: C:\\WINDOWS\\dosstart.bat: would be updated\n"
       "{also}: C:\\WINDOWS\\SYSTEM\\kestiv.ini: would be updated\n",
       ""},
      {"a dry run's trouble first",
       {"-n", "{good}", "{bare}"},
       "",
       66,
       "",
       "dossetup: {bare}: no Windows directory: no C:\\MSDOS.SYS naming one, "
       "and no C:\\WINDOWS\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ScratchDrive drives;
    std::map<std::string, std::string> names;
    for (const char* name :
         {"good", "also", "bare", "nosettings", "folderbat", "none"}) {
      names[name] = drives.root + "/" + name;
    }
    CopySample(names["good"]);
    CopySample(names["also"]);
    CopySample(names["nosettings"]);
    fs::remove(names["nosettings"] + "/WINDOWS/SYSTEM/KESTIV.INI");
    CopySample(names["folderbat"]);
    fs::remove(names["folderbat"] + "/AUTOEXEC.BAT");
    fs::create_directory(names["folderbat"] + "/AUTOEXEC.BAT");
    fs::create_directory(names["bare"]);
    Result result = Invoke(row.args, names, Fill(row.env, names));
    EXPECT_EQ(result.status, row.status);
    EXPECT_EQ(result.out, Fill(row.out, names));
    EXPECT_EQ(result.err, Fill(row.err, names));
  }
}

// The diff of the sample drive, kept as data: the dry run shows it and
// changes nothing, the run shows it again and makes it, and a dry run then
// finds nothing to show.
TEST(CommandLine, DiffOfTheSampleDrive) {
  std::string expected = ReadFile(kSource + "/tests/data/sample-changes.diff");
  ScratchDrive drive;
  CopySample(drive.root + "/c");
  std::map<std::string, std::string> names = {{"c", drive.root + "/c"}};
  struct Row {
    std::vector<std::string> args;
    int status;
    std::string out;
  } rows[] = {
      {{"-n", "-d", "{c}"}, 1, expected},
      {{"--dry-run", "--diff", "--color=never", "{c}"}, 1, expected},
      {{"-d", "--color=never", "{c}"}, 0, expected},
      {{"-n", "-d", "{c}"}, 0, ""},
  };
  for (const Row& row : rows) {
    Result result = Invoke(row.args, names);
    EXPECT_EQ(result.status, row.status);
    EXPECT_EQ(result.out, row.out);
    EXPECT_EQ(result.err, "");
  }
  // Colours only where asked.
  CopySample(drive.root + "/d");
  names["d"] = drive.root + "/d";
  Result coloured = Invoke({"-nd", "--color", "{d}"}, names);
  EXPECT_EQ(coloured.status, 1);
  EXPECT_NE(coloured.out.find("\033[31m-SET  BLASTER=A220 I5  D1 T4\033[0m"),
            std::string::npos)
      << coloured.out;
}

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
  for (DriveMedium medium : {kOnFolder, kOnFat12Floppy, kOnFat16Qcow2,
                             kOnFat16Vdi, kOnFat16VirtualPcVhd}) {
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
      Result dry = Invoke({"-n", "{c}"}, names, tmp);
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
  for (const char* name : {"loop", "held", "zeros", "good", "nojournal"}) {
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
    Result result = Invoke(row.args, names, row.env);
    EXPECT_EQ(result.status, row.status);
    std::string err = Fill(row.err, names);
    EXPECT_EQ(result.err.substr(0, err.size()), err);
  }
  // The good image after the held one was still set up.
  EXPECT_EQ(Invoke({"-n", "{good}"}, names).status, 0);
  close(held);
}

}  // namespace
