// The settings rewrite, as input bytes and the bytes it must leave, on a
// drive whose WIN.INI says deu (number 2).
#include "files/settings.h"

#include <gtest/gtest.h>

#include <string>

#include "files/directories.h"
#include "support/scratch_drive.h"

namespace {

const std::string kTail = "winpath95=C:\\WINDOWS\r\nLanguage=2\r\n";

TEST(UpdateSettingsFile, RewritesAsTheTableSays) {
  const std::string nul(1, '\0');
  const std::string wide(300, 'w');
  struct Case {
    const char* name;
    std::string before, after;
  } cases[] = {
      {"empty", "", kTail},
      {"typical", "[kestiv]\r\nFoo=1\r\nwinpath95=C:\\OTHER\r\nLanguage=5\r\n",
       "[kestiv]\r\nFoo=1\r\n" + kTail},
      {"already done", "[kestiv]\r\n" + kTail, "[kestiv]\r\n" + kTail},
      {"keys anywhere, exact case",
       "sLanguage=x\r\noldwinpath95=y\r\nlanguage=3\r\nWINPATH95=z\r\n",
       "language=3\r\nWINPATH95=z\r\n" + kTail},
      {"lines go to the very end", "[a]\r\nLanguage=1\r\n[b]\r\nBar=2\r\n",
       "[a]\r\n[b]\r\nBar=2\r\n" + kTail},
      {"kept last line without end", "Foo=1", "Foo=1\r\n" + kTail},
      {"dropped last line without end", "Foo=1\r\nLanguage=5",
       "Foo=1\r\n" + kTail},
      {"only key lines", "Language=5\r\nwinpath95=C:\\X", kTail},
      {"nothing after 0x1A", "A=1\r\n\x1aLanguage=9\r\n", "A=1\r\n" + kTail},
      // A key in any piece of a long line drops the whole line.
      {"long line, key in first piece", "Language=" + wide + "\r\nB=1\r\n",
       "B=1\r\n" + kTail},
      {"long line, key in last piece", wide + "Language=1\r\nB=1\r\n",
       "B=1\r\n" + kTail},
      // Key straddling the first two pieces: not found, the line stays.
      {"key straddling pieces", std::string(250, 's') + "Language=1\r\n",
       std::string(250, 's') + "Language=1\r\n" + kTail},
      {"zero bytes are data", "A=" + nul + "Language=1\r\nB" + nul + "\r\n",
       "B" + nul + "\r\n" + kTail},
      {"bare LF ends", "A=1\nB=2", "A=1\r\nB=2\r\n" + kTail},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDrive drive;
    drive.LayOutWindows("deu");
    SetDirectories("C:\\WINDOWS", "C:\\WINDOWS\\SYSTEM");
    drive.Write("WINDOWS/SYSTEM/KESTIV.INI", c.before);
    EXPECT_NE(UpdateSettingsFile(), 0);
    EXPECT_EQ(drive.Read("WINDOWS/SYSTEM/KESTIV.INI"), c.after);
    EXPECT_FALSE(drive.Exists("WINDOWS/SYSTEM/kestiv.tmp"));
    UpdateSettingsFile();
    EXPECT_EQ(drive.Read("WINDOWS/SYSTEM/KESTIV.INI"), c.after);
  }
}

TEST(UpdateSettingsFile, NeverCreatesTheFile) {
  ScratchDrive drive;
  drive.LayOutWindows();
  SetDirectories("C:\\WINDOWS", "C:\\WINDOWS\\SYSTEM");
  auto before = drive.Snapshot();
  EXPECT_EQ(UpdateSettingsFile(), 0);
  EXPECT_EQ(drive.Snapshot(), before);
}

}  // namespace
