// The host layer on a folder: Windows paths, short names, the directory
// queries, the profile, the copy and confinement to the drive.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "platform/host/drive/drive_c.h"
#include "platform/host/drive/short_name.h"
#include "platform/host/windows_path.h"
#include "platform/platform.h"
#include "startup/setup.h"
#include "support/scratch_drive.h"

namespace {

namespace fs = std::filesystem;
std::error_code error_code_ignored;

std::string ShortPath(const char* path) {
  char buffer[260] = "";
  DWORD result = GetShortPathNameA(path, buffer, sizeof buffer);
  return result == 0 ? "<failed>" : buffer;
}

TEST(MapWindowsPath, MatchesWithoutRegardToCase) {
  ScratchDrive drive;
  drive.Write("WINDOWS/System/kestiv.ini", "x");
  drive.Write("Dup/a", "");
  drive.Write("DUP/b", "");
  struct Case {
    const char* path;
    bool last_may_be_missing;
    MapResult result;
    const char* relative;
  } cases[] = {
      {"C:\\windows\\SYSTEM\\KESTIV.INI", false, kMapped,
       "WINDOWS/System/kestiv.ini"},
      {"c:/Windows//system/", false, kMapped, "WINDOWS/System"},
      {"C:", false, kMapped, ""},
      {"C:\\dup", false, kMapped, "DUP"},  // first in byte order
      {"C:\\Dup", false, kMapped, "Dup"},  // exact match first
      {"C:\\WINDOWS\\NEW.TMP", true, kMapped, "WINDOWS/NEW.TMP"},
      {"C:\\WINDOWS\\NEW.TMP", false, kMapMissing, ""},
      {"C:\\NONE\\NEW.TMP", true, kMapMissing, ""},
      {"D:\\WINDOWS", false, kMapMissing, ""},
      {"\\WINDOWS", false, kMapMissing, ""},
      {"C:\\WINDOWS\\..\\WINDOWS", false, kMapInvalid, ""},
      {"C:\\.", false, kMapInvalid, ""},
  };
  for (const Case& c : cases) {
    std::string relative;
    MapResult result = MapWindowsPath(c.path, c.last_may_be_missing, &relative);
    EXPECT_EQ(result, c.result) << c.path;
    if (result == kMapped) {
      EXPECT_EQ(relative, c.relative) << c.path;
    }
  }
}

TEST(ShortAlias, FollowsTheWindows95Rules) {
  EXPECT_TRUE(IsValidShortName("WINDOWS"));
  EXPECT_TRUE(IsValidShortName("system32"));
  EXPECT_TRUE(IsValidShortName("KESTIV.INI"));
  EXPECT_FALSE(IsValidShortName("Windows 95"));
  EXPECT_FALSE(IsValidShortName("LONGNAME9"));
  EXPECT_FALSE(IsValidShortName("A.B.C"));
  EXPECT_FALSE(IsValidShortName("A.TEXT"));
  EXPECT_FALSE(IsValidShortName("A+B"));
  struct Case {
    const char* name;
    const char* alias;
  } cases[] = {
      {"Windows 95", "WINDOW~1"},         {"Program Files", "PROGRA~1"},
      {"long.name.text", "LONGNA~1.TEX"}, {"a+b=c", "A_B_C~1"},
      {"Windows 98", "WINDOW~2"},  // after "Windows 95" in byte order
  };
  std::vector<std::string> folder = {"Program Files", "WINDOWS",
                                     "Windows 95",    "Windows 98",
                                     "a+b=c",         "long.name.text"};
  for (const Case& c : cases) {
    EXPECT_EQ(ShortAlias(folder, c.name), c.alias) << c.name;
  }
  std::vector<std::string> many;
  many.reserve(12);
  for (int i = 0; i < 12; ++i)
    many.push_back("Longfile " + std::to_string(100 + i));
  EXPECT_EQ(ShortAlias(many, "Longfile 111"), "LONGF~12");
}

TEST(GetShortPathNameA, KeepsShortComponentsAsGiven) {
  ScratchDrive drive;
  drive.MakeFolder("Windows 95/SYSTEM");
  drive.MakeFolder("windows");
  EXPECT_EQ(ShortPath("C:\\Windows 95"), "C:\\WINDOW~1");
  EXPECT_EQ(ShortPath("c:\\WINDOWS 95\\system"), "c:\\WINDOW~1\\system");
  EXPECT_EQ(ShortPath("C:\\WINDOWS"), "C:\\WINDOWS");
  EXPECT_EQ(ShortPath("C:\\WINDOWS\\"), "C:\\WINDOWS\\");
  EXPECT_EQ(ShortPath("C:\\"), "C:\\");
  EXPECT_EQ(ShortPath("C:\\MISSING"), "<failed>");
  // Too small a buffer: the size needed, terminator included.
  char tiny[4];
  EXPECT_EQ(GetShortPathNameA("C:\\WINDOWS", tiny, sizeof tiny), 11u);
}

TEST(DirectoryQueries, ComeFromMsdosSysOrTheWindowsFolder) {
  struct Case {
    const char* msdos_sys;  // null: no MSDOS.SYS
    const char* folder;     // made on the drive
    const char* windows;    // null: the query fails
    const char* system;
  } cases[] = {
      {"[Paths]\r\nWinDir=C:\\WIN95\r\nWinBootDir=C:\\X\r\n", "WIN95",
       "C:\\WIN95", "C:\\WIN95\\SYSTEM"},
      {"[paths]\r\n  windir = C:\\Windows 95  \r\n", "x", "C:\\Windows 95",
       "C:\\Windows 95\\SYSTEM"},
      {"[Options]\r\nBootGUI=1\r\n", "windows", "C:\\WINDOWS",
       "C:\\WINDOWS\\SYSTEM"},
      {nullptr, "Windows", "C:\\WINDOWS", "C:\\WINDOWS\\SYSTEM"},
      {"[Paths]\r\nWinDir=C:\\\r\n", "x", "C:\\", "C:\\SYSTEM"},
      {nullptr, "WIN", nullptr, nullptr},
  };
  for (const Case& c : cases) {
    ScratchDrive drive;
    if (c.msdos_sys) drive.Write("MSDOS.SYS", c.msdos_sys);
    drive.MakeFolder(c.folder);
    char buffer[260] = "";
    UINT windows = GetWindowsDirectoryA(buffer, sizeof buffer);
    EXPECT_EQ(windows ? std::string(buffer) : "<failed>",
              c.windows ? c.windows : "<failed>");
    UINT system = GetSystemDirectoryA(buffer, sizeof buffer);
    EXPECT_EQ(system ? std::string(buffer) : "<failed>",
              c.system ? c.system : "<failed>");
  }
}

TEST(GetProfileStringA, CutsToTheBuffer) {
  ScratchDrive drive;
  drive.LayOutWindows("'abcdefghijklmnopqrstuvwxyz'");
  char value[16];
  EXPECT_EQ(GetProfileStringA("intl", "sLanguage", nullptr, value, 16), 15u);
  EXPECT_STREQ(value, "abcdefghijklmno");
  EXPECT_EQ(GetProfileStringA("intl", "sCountry", nullptr, value, 16), 0u);
  EXPECT_STREQ(value, "");
  EXPECT_EQ(GetProfileStringA("intl", "sCountry", "dflt", value, 16), 4u);
  EXPECT_STREQ(value, "dflt");
}

TEST(CopyFileA, ReplacesAndKeepsThePermissionBits) {
  ScratchDrive drive;
  drive.Write("NEW.TMP", "new");
  drive.Write("TARGET.BAT", "old");
  chmod((drive.root + "/TARGET.BAT").c_str(), 0640);
  EXPECT_TRUE(CopyFileA("C:\\new.tmp", "C:\\target.bat", FALSE));
  EXPECT_EQ(drive.Read("TARGET.BAT"), "new");
  struct stat st;
  ASSERT_EQ(stat((drive.root + "/TARGET.BAT").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_FALSE(CopyFileA("C:\\new.tmp", "C:\\target.bat", TRUE));
  EXPECT_TRUE(CopyFileA("C:\\new.tmp", "C:\\created.bat", FALSE));
  EXPECT_EQ(drive.Read("created.bat"), "new");
  EXPECT_FALSE(CopyFileA("C:\\none.tmp", "C:\\target.bat", FALSE));
  // Nothing but the three files is left: no half-made copies.
  EXPECT_EQ(drive.Snapshot().size(), 3u);
  EXPECT_TRUE(DeleteFileA("C:\\NEW.TMP"));
  EXPECT_FALSE(DeleteFileA("C:\\NEW.TMP"));
}

}  // namespace
