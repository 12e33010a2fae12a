// The text rules: what the reader gives as lines for given raw bytes, what
// the writer stores, and where a piece can hold a text.
#include "files/textfile.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/scratch_drive.h"

namespace {

// Records every line as it reads: its characters, then its LF.
bool Record(const TextLine& line, const void* context) {
  auto* lines =
      static_cast<std::vector<std::string>*>(const_cast<void*>(context));
  lines->push_back(std::string(line.bytes, line.text_length) +
                   (line.has_lf ? "\n" : ""));
  return false;
}

std::vector<std::string> LinesOf(const ScratchDrive& drive,
                                 const std::string& raw) {
  drive.Write("F.TXT", raw);
  TextReader reader;
  TextWriter writer;
  EXPECT_EQ(TextReaderOpen(&reader, "C:\\F.TXT"), kOpened);
  EXPECT_TRUE(TextWriterOpen(&writer, "C:\\OUT.TXT"));
  std::vector<std::string> lines;
  bool ended_with_lf;
  EXPECT_TRUE(CopyKeptLines(&reader, &writer, Record, &lines, &ended_with_lf));
  TextReaderClose(&reader);
  EXPECT_TRUE(TextWriterClose(&writer));
  // Every line kept: what was written stores each as read, LF as CR LF.
  std::string stored;
  for (const std::string& line : lines) {
    for (char c : line)
      stored += c == '\n' ? std::string("\r\n") : std::string(1, c);
  }
  EXPECT_EQ(drive.Read("OUT.TXT"), stored);
  EXPECT_EQ(ended_with_lf, lines.empty() || lines.back().back() == '\n');
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
      {"a\r\nb\nc\r\r\nd\r", {"a\n", "b\n", "c\r\n", "d\r"}},  // mixed
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
  const std::string a251(251, 'a'), a252(252, 'a'), a253(253, 'a');
  struct Case {
    std::string stored;  // the line as stored
    std::string text;
    bool holds;
  } cases[] = {
      {"KEY\r\n", "KEY\n", true},
      {"KEY\n", "KEY\n", true},
      {"REM KEY\r\n", "KEY\n", true},
      {"KEY", "KEY\n", false},  // no LF
      {"KEY\r", "KEY\n", false},
      {"KEY \r\n", "KEY\n", false},
      {"KEY\r\r\n", "KEY\n", false},       // reads as KEY CR LF
      {a251 + "KEY\r\n", "KEY\n", true},   // 255 characters: one piece
      {a252 + "KEY\r\n", "KEY\n", false},  // the LF alone in piece 2
      {a253 + "KEY\r\n", "KEY\n", false},  // straddles
      {std::string(255, 'a') + "KEY\r\n", "KEY\n", true},  // piece 2 whole
      {std::string(300, 'a') + "KEY\n", "KEY\n", true},
      {"x=1 Key=2\r\n", "Key=", true},
      {"key=2\r\n", "Key=", false},
      {a251 + "Key=\r\n", "Key=", true},  // the key ends piece 1
      {a252 + "Key=\r\n", "Key=", false},
      {std::string(255, 'a') + "Key=", "Key=", true},
  };
  for (const Case& c : cases) {
    TextLine line = TextLineFrom(c.stored.data(), c.stored.size());
    EXPECT_EQ(LineHoldsText(line, c.text.data(), c.text.size()), c.holds)
        << testing::PrintToString(c.stored) << " " << c.text;
  }
  // A text longer than a piece is looked for in the whole line.
  std::string long_text = std::string(270, 'p') + "\n";
  std::string stored = "x" + long_text;
  EXPECT_TRUE(LineHoldsText(TextLineFrom(stored.data(), stored.size()),
                            long_text.data(), long_text.size()));
  std::string long_key(270, 'k');
  stored = "x" + long_key + "\r\n";
  EXPECT_TRUE(LineHoldsText(TextLineFrom(stored.data(), stored.size()),
                            long_key.data(), long_key.size()));
}

}  // namespace
