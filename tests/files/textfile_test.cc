// The text rules: what the reader gives as lines for given raw bytes, what
// the writer stores, and where a piece can hold a text.
#include "files/textfile.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/scratch_drive.h"

namespace {

std::vector<std::string> LinesOf(const ScratchDrive& drive,
                                 const std::string& raw) {
  drive.Write("F.TXT", raw);
  TextReader reader;
  EXPECT_EQ(TextReaderOpen(&reader, "C:\\F.TXT"), kOpened);
  std::vector<std::string> lines;
  const char* text;
  size_t length;
  while (TextReaderLine(&reader, &text, &length) > 0) {
    lines.emplace_back(text, length);
  }
  TextReaderClose(&reader);
  return lines;
}

TEST(TextReader, ConvertsLineEndsAndStopsAtEndOfData) {
  ScratchDrive drive;
  const std::string s(1, '\0');
  struct Case {
    std::string raw;
    std::vector<std::string> lines;
  } cases[] = {
      {"", {}},
      {"a\r\nb\r\n", {"a\n", "b\n"}},
      {"a\nb", {"a\n", "b"}},    // bare LF, no final end
      {"a\rb\r\n", {"a\rb\n"}},  // a lone CR stays
      {"a\r\r\n", {"a\r\n"}},    // only the CR before LF goes
      {"a\r", {"a\r"}},          // CR at the very end stays
      {"a\r\x1a\r\n", {"a\r"}},  // 0x1A follows: CR stays
      {"a\r\nb\x1a"
       "c\r\n",
       {"a\n", "b"}},  // nothing after 0x1A
      {"\x1a"
       "a\r\n",
       {}},
      {"a" + s + "b\r\n" + s, {"a" + s + "b\n", s}},  // 0 is data
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LinesOf(drive, c.raw), c.lines) << testing::PrintToString(c.raw);
  }
}

TEST(TextReader, JoinsAcrossBlocks) {
  ScratchDrive drive;
  // A CR LF pair split by the block boundary, and a line longer than
  // several blocks.
  std::string head(kTextBlock - 1, 'x');
  std::string huge(3 * kTextBlock + 7, 'y');
  std::vector<std::string> lines =
      LinesOf(drive, head + "\r\n" + huge + "\r\nz");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], head + "\n");
  EXPECT_EQ(lines[1], huge + "\n");
  EXPECT_EQ(lines[2], "z");
}

TEST(TextWriter, StoresEveryLfAsCrLf) {
  ScratchDrive drive;
  TextWriter writer;
  ASSERT_TRUE(TextWriterOpen(&writer, "C:\\OUT.TXT"));
  TextWriteString(&writer, "a\nb\r\n\nc");
  EXPECT_TRUE(writer.wrote_any);
  EXPECT_EQ(writer.last, 'c');
  EXPECT_TRUE(TextWriterClose(&writer));
  EXPECT_EQ(drive.Read("OUT.TXT"), "a\r\nb\r\r\n\r\nc");
}

TEST(LineHoldsText, LooksWithinPiecesOf255) {
  const std::string text = "KEY\n";
  struct Case {
    std::string line;
    bool holds;
  } cases[] = {
      {"KEY\n", true},
      {"REM KEY\n", true},
      {"KEY", false},                            // no LF
      {std::string(252, 'a') + "KEY\n", false},  // LF is character 256
      {std::string(251, 'a') + "KEY\n", true},   // fits the first piece
      {std::string(253, 'a') + "KEY\n", false},  // straddles
      {std::string(255, 'a') + "KEY\n", true},   // whole second piece
      {std::string(300, 'a') + "KEY\n", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(
        LineHoldsText(c.line.data(), c.line.size(), text.data(), text.size()),
        c.holds)
        << c.line.size();
  }
  // A text longer than a piece is looked for in the whole line.
  std::string long_text = std::string(270, 'p') + "\n";
  std::string line = "x" + long_text;
  EXPECT_TRUE(LineHoldsText(line.data(), line.size(), long_text.data(),
                            long_text.size()));
}

}  // namespace
