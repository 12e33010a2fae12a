#include "language/language.h"

#include <gtest/gtest.h>

#include <string>

#include "support/scratch_drive.h"

namespace {

TEST(LanguageNumberFor, MatchesPrefixesInTableOrder) {
  struct Case {
    const char* value;
    int number;
  } cases[] = {
      {"deu", 2},
      {"DEU", 2},
      {"Deu", 2},
      {"des", 2},
      {"de", 2},
      {"jpn", 1},
      {"enu", 0},
      {"eng", 0},
      {"ena", 0},
      {"fra", 3},
      {"esp", 4},
      {"esn", 4},
      {"ita", 5},
      {"dan", 6},
      {"nld", 7},
      {"fin", 8},
      {"nor", 9},
      {"non", 9},
      {"sve", 10},
      {"cht", 11},
      {"CHS", 12},
      {"chx", 0},
      {"ch", 0},
      {"ptb", 13},
      {"ptg", 13},
      {"", 0},
      {"d", 0},
      {"j", 0},
      {"xde", 0},
      // Only ASCII letters fold: 0xC4 is no 'd'.
      {"\xc4"
       "eu",
       0},
      // '@' and '`' sit one below 'A' and 'a': no false fold.
      {"@e", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LanguageNumberFor(c.value), c.number) << c.value;
  }
}

TEST(GetLanguageNumber, ReadsTheProfile) {
  struct Case {
    std::string win_ini;  // empty: no WIN.INI
    int number;
  } cases[] = {
      {"[intl]\r\nsLanguage=deu\r\n", 2},
      {"[Intl]\r\n  SLANGUAGE = \"fra\" \r\n", 3},
      {"[windows]\r\nsLanguage=deu\r\n", 0},  // wrong section
      {"[intl]\r\n;sLanguage=deu\r\nsCountry=x\r\n", 0},
      {"", 0},
  };
  for (const Case& c : cases) {
    ScratchDrive drive;
    drive.MakeFolder("WINDOWS/SYSTEM");
    if (!c.win_ini.empty()) drive.Write("WINDOWS/WIN.INI", c.win_ini);
    EXPECT_EQ(GetLanguageNumber(), c.number) << c.win_ini;
  }
}

TEST(FormatLanguageNumber, WritesPlainDecimal) {
  char text[kLanguageNumberTextCapacity];
  FormatLanguageNumber(0, text);
  EXPECT_STREQ(text, "0");
  FormatLanguageNumber(7, text);
  EXPECT_STREQ(text, "7");
  FormatLanguageNumber(13, text);
  EXPECT_STREQ(text, "13");
}

}  // namespace
