// The batch-file rewrite, as input bytes and the bytes it must leave.
#include "files/batch.h"

#include <gtest/gtest.h>

#include <string>

#include "files/directories.h"
#include "support/scratch_drive.h"

namespace {

const std::string kBlaster = "SET  BLASTER=A220 I5  D1 T4\r\n";
const char kMissingFile[] = "<missing>";

struct RewriteCase {
  const char* name;
  std::string before;  // kMissingFile: no file at all
  std::string after;
  bool stable = true;  // a second rewrite leaves `after` as it is
};

TEST(UpdateAutoexecBat, RewritesAsTheTableSays) {
  const std::string nul(1, '\0');
  const std::string long_line(300, 'L');
  const RewriteCase cases[] = {
      {"missing", kMissingFile, kBlaster},
      {"empty", "", kBlaster},
      {"starts with 0x1A", "\x1aPATH C:\\\r\n", kBlaster},
      {"plain", "@ECHO OFF\r\nPATH C:\\DOS\r\n",
       "@ECHO OFF\r\nPATH C:\\DOS\r\n" + kBlaster},
      {"already there", "@ECHO OFF\r\n" + kBlaster, "@ECHO OFF\r\n" + kBlaster},
      {"old copies anywhere", kBlaster + "A\r\n" + kBlaster + "B\r\n",
       "A\r\nB\r\n" + kBlaster},
      {"other BLASTER values stay", "SET BLASTER=A220 I7 D1 H5 T6\r\n",
       "SET BLASTER=A220 I7 D1 H5 T6\r\n" + kBlaster},
      {"text before it on the line", "REM " + kBlaster + "X\r\n",
       "X\r\n" + kBlaster},
      {"other case stays", "set  blaster=a220 i5  d1 t4\r\n",
       "set  blaster=a220 i5  d1 t4\r\n" + kBlaster},
      {"last line without end", "A\r\nB", "A\r\nB\r\n" + kBlaster},
      {"copy without line end stays", "A\r\nSET  BLASTER=A220 I5  D1 T4",
       "A\r\nSET  BLASTER=A220 I5  D1 T4\r\n" + kBlaster, false},
      {"bare LF ends", "A\nB\n", "A\r\nB\r\n" + kBlaster},
      {"lone CR kept", "A\rB\r\n", "A\rB\r\n" + kBlaster},
      {"dropped after 0x1A",
       "A\r\n\x1a"
       "garbage" +
           kBlaster,
       "A\r\n" + kBlaster},
      {"long line split into pieces stays", long_line + "\r\n",
       long_line + "\r\n" + kBlaster},
      // The copy sits wholly in the line's last piece: the whole line goes,
      // not just that piece.
      {"long line ending with the line", long_line + kBlaster + "Z\r\n",
       "Z\r\n" + kBlaster},
      // Straddling pieces 1 and 2: not found, the line stays.
      {"copy straddling two pieces", std::string(240, 'S') + kBlaster,
       std::string(240, 'S') + kBlaster + kBlaster},
      {"zero bytes are data", "A" + nul + "B\r\n" + nul + kBlaster,
       "A" + nul + "B\r\n" + kBlaster},
      {"zero byte last", "A" + nul, "A" + nul + "\r\n" + kBlaster},
  };
  for (const RewriteCase& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDrive drive;
    if (c.before != kMissingFile) drive.Write("AUTOEXEC.BAT", c.before);
    EXPECT_NE(UpdateAutoexecBat(), 0);
    std::string target =
        c.before == kMissingFile ? "autoexec.bat" : "AUTOEXEC.BAT";
    EXPECT_EQ(drive.Read(target), c.after);
    EXPECT_FALSE(drive.Exists("autoexec.tmp"));
    // A second rewrite changes nothing (once the stray copy has its line
    // end, it is an old copy like any other).
    UpdateAutoexecBat();
    if (c.stable) {
      EXPECT_EQ(drive.Read(target), c.after);
    }
  }
}

TEST(UpdateDosstartBat, RecognisesOnlyItsOwnCommand) {
  const std::string command = "C:\\WINDOWS\\SYSTEM\\quorvel.exe /N\r\n";
  const RewriteCase cases[] = {
      {"missing", kMissingFile, command},
      {"empty", "", command},
      {"old copy", command + "MSCDEX /D:X\r\n", "MSCDEX /D:X\r\n" + command},
      {"other forms stay",
       "C:\\WINDOWS\\SYSTEM\\QUORVEL.EXE /N\r\n"
       "C:\\Windows\\System\\quorvel.exe /N\r\n"
       "C:\\WINDOWS\\SYSTEM\\quorvel.exe /Q\r\n",
       "C:\\WINDOWS\\SYSTEM\\QUORVEL.EXE /N\r\n"
       "C:\\Windows\\System\\quorvel.exe /N\r\n"
       "C:\\WINDOWS\\SYSTEM\\quorvel.exe /Q\r\n" +
           command},
  };
  for (const RewriteCase& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDrive drive;
    drive.MakeFolder("WINDOWS/SYSTEM");
    SetDirectories("C:\\WINDOWS", "C:\\WINDOWS\\SYSTEM");
    if (c.before != kMissingFile) drive.Write("WINDOWS/DOSSTART.BAT", c.before);
    EXPECT_NE(UpdateDosstartBat(), 0);
    std::string target = c.before == kMissingFile ? "WINDOWS/dosstart.bat"
                                                  : "WINDOWS/DOSSTART.BAT";
    EXPECT_EQ(drive.Read(target), c.after);
    EXPECT_FALSE(drive.Exists("WINDOWS/dosstart.tmp"));
  }
}

TEST(UpdateDosstartBat, AddsTheBackslashEvenAfterOne) {
  ScratchDrive drive;
  drive.MakeFolder("SYSTEM");
  SetDirectories("C:\\", "C:\\SYSTEM\\");
  UpdateDosstartBat();
  EXPECT_EQ(drive.Read("dosstart.bat"), "C:\\SYSTEM\\\\quorvel.exe /N\r\n");
}

TEST(RewriteBatchFile, LeavesAnUnreadableTargetAlone) {
  ScratchDrive drive;
  drive.MakeFolder("AUTOEXEC.BAT");  // exists, but no file can be read
  EXPECT_EQ(UpdateAutoexecBat(), 0);
  EXPECT_FALSE(drive.Exists("autoexec.tmp"));
  EXPECT_TRUE(drive.Snapshot().empty());
}

}  // namespace
