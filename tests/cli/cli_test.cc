// The host program as users start it on folders: its options, its lines
// on stderr and stdout, its statuses, several drives in one run, and the
// dry run with its diff.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "cli/statuses.h"
#include "support/program.h"
#include "support/scratch_drive.h"

namespace fs = std::filesystem;

namespace {

const std::string kSource = DOSSETUP_SOURCE_DIR;

// A block device of this machine's, never opened: the first in /dev.
std::string BlockDevice() {
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/dev", error)) {
    struct stat st;
    if (stat(entry.path().c_str(), &st) == 0 && S_ISBLK(st.st_mode)) {
      return entry.path().string();
    }
  }
  ADD_FAILURE() << "this machine shows no block device in /dev";
  return "/dev/null";
}
const std::string kUsage =
    "Usage: dossetup [OPTION]... [DRIVE]...\n"
    "Try 'dossetup --help' for more information.\n";

TEST(CommandLine, OptionsUsageAndVersion) {
  struct Row {
    std::vector<std::string> args;
    int status;
    std::string out;  // its start
    std::string err;
  } rows[] = {
      {{"--help"}, 0, "Usage: dossetup [OPTION]... [DRIVE]...\nSet up", ""},
      {{"-h", "--bogus"}, 0, "Usage: dossetup [OPTION]... [DRIVE]...\n", ""},
      {{"--version"},
       0,
       "dossetup " DOSSETUP_VERSION
       "\nCopyright (C) 2026 The dossetup authors.\n"
       "License MIT: <https://opensource.org/license/mit>.\n"
       "This is free software: you are free to change and redistribute it.\n"
       "There is NO WARRANTY, to the extent permitted by law.\n",
       ""},
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
    Invocation result = Invoke(row.args);
    EXPECT_EQ(result.status, row.status);
    EXPECT_EQ(result.out.substr(0, row.out.size()), row.out);
    if (row.out.empty()) {
      EXPECT_EQ(result.out, "");
    }
    EXPECT_EQ(result.err, row.err);
  }
}

// The statuses --help, the manual page and the README list are the ones
// the program gives, in the same order.
TEST(CommandLine, StatusesAreListedAlikeEverywhere) {
  std::vector<std::string> code;
  code.reserve(kStatusMeaningCount);
  for (int i = 0; i < kStatusMeaningCount; ++i) {
    code.push_back(StatusText(kStatusMeanings[i].status));
  }
  // What stands before `stop` on each line after `heading` (up to one
  // starting with `end`) that starts with `lead` and a digit; blanks
  // dropped, so that "128 + N" reads "128+N".
  auto list = [](const std::string& text, const std::string& heading,
                 const std::string& lead, const std::string& stop,
                 const std::string& end) {
    std::vector<std::string> statuses;
    size_t at = text.find(heading);
    EXPECT_NE(at, std::string::npos) << heading;
    std::istringstream lines(at == std::string::npos ? "" : text.substr(at));
    std::string line;
    std::getline(lines, line);
    while (std::getline(lines, line) && (end.empty() || line.rfind(end, 0))) {
      if (line.rfind(lead, 0) != 0 || !isdigit(line[lead.size()])) continue;
      std::string status;
      for (char c : line.substr(lead.size(),
                                line.find(stop, lead.size()) - lead.size())) {
        if (c != ' ') status += c;
      }
      statuses.push_back(status);
    }
    return statuses;
  };
  EXPECT_EQ(list(Invoke({"--help"}).out, "Exit status", "  ", "  ", ""), code)
      << "--help";
  EXPECT_EQ(list(ReadFile(kSource + "/docs/dossetup.1"), ".Sh EXIT STATUS",
                 ".It ", "\n", ".Sh"),
            code)
      << "the manual page";
  EXPECT_EQ(
      list(ReadFile(kSource + "/README.md"), "## Exit status", "| ", " |", "#"),
      code)
      << "the README";
}

// Folders: {good} and {also} hold the sample drive, {bare} holds no
// Windows, {nosettings} no settings file, {folderbat} a folder named
// autoexec.bat, {gone} an MSDOS.SYS naming a missing folder; {none} names
// nothing, and {disk} is a block device of this machine's.
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
    long reader_gone = 0;  // standard output's reader went first
  } rows[] = {
      {"silent on success", {"{good}"}, "", 0, "", ""},
      {"a block device",
       {"{disk}"},
       "",
       65,
       "",
       "dossetup: {disk}: a block device; mount its FAT partition and name "
       "the folder, or name an image file\n"},
      // Quiet, as GNU tools are; every drive is still set up.
      {"a reader that goes",
       {"-v", "-d", "{good}", "{also}"},
       "",
       0,
       "",
       "",
       1},
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
      {"a Windows directory that is gone",
       {"{gone}"},
       "",
       66,
       "",
       "dossetup: {gone}: the Windows directory C:\\WIN that C:\\MSDOS.SYS "
       "names does not exist\n"},
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
         {"good", "also", "bare", "nosettings", "folderbat", "gone", "none"}) {
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
    CopySample(names["gone"]);
    std::ofstream(names["gone"] + "/MSDOS.SYS")
        << "[Paths]\r\nWinDir=C:\\WIN\r\n";
    names["disk"] = BlockDevice();
    Invocation result = Invoke(row.args, names, row.env, row.reader_gone != 0);
    EXPECT_EQ(result.status, row.status);
    EXPECT_EQ(result.out, Fill(row.out, names));
    EXPECT_EQ(result.err, Fill(row.err, names));
    if (row.reader_gone) {
      EXPECT_EQ(Invoke({"-n", "{good}", "{also}"}, names).status, 0)
          << "a drive was left half done";
    }
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
    Invocation result = Invoke(row.args, names);
    EXPECT_EQ(result.status, row.status);
    EXPECT_EQ(result.out, row.out);
    EXPECT_EQ(result.err, "");
  }
  // Colours only where asked.
  CopySample(drive.root + "/d");
  names["d"] = drive.root + "/d";
  Invocation coloured = Invoke({"-nd", "--color", "{d}"}, names);
  EXPECT_EQ(coloured.status, 1);
  EXPECT_NE(coloured.out.find("\033[31m-SET  BLASTER=A220 I5  D1 T4\033[0m"),
            std::string::npos)
      << coloured.out;
}

#ifndef DOSSETUP_SANITIZED
// The files stream through a run, and what it compares is dropped as it
// goes, so memory stays at a few MiB whatever a file's size: on a file
// whose only change is its last line, and on the drive once set up, where
// the two streams stay level to the end. (A sanitizer's own memory would
// hide this, so its build leaves the test out.)
TEST(CommandLine, MemoryStaysFlatOnLargeFiles) {
  ScratchDrive drive;
  CopySample(drive.root + "/c");
  std::string lines;
  for (int i = 0; lines.size() < size_t{64} << 20; ++i) {
    lines += "REM line " + std::to_string(i) + " of a long AUTOEXEC.BAT\r\n";
  }
  std::ofstream(drive.root + "/c/AUTOEXEC.BAT", std::ios::binary) << lines;
  lines.clear();
  lines.shrink_to_fit();
  std::map<std::string, std::string> names = {{"c", drive.root + "/c"}};
  for (const char* run : {"a first run", "the drive set up"}) {
    SCOPED_TRACE(run);
    Invocation result = Invoke({"{c}"}, names);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_LE(result.peak_kib, 8 * 1024);
  }
}
#endif

}  // namespace
