#include "language/language.h"

#include <string.h>

#include "ascii.h"
#include "fixed_texts.h"
#include "platform/platform.h"

struct LanguageRow {
  const char* prefix;
  int compared;  // characters of the value compared
  int number;
};

// Order matters: the first match wins.
static const LanguageRow LanguageTable[] = {
    {"jp", 2, 1},   {"de", 2, 2},   {"fr", 2, 3},  {"es", 2, 4}, {"it", 2, 5},
    {"da", 2, 6},   {"nl", 2, 7},   {"fi", 2, 8},  {"no", 2, 9}, {"sv", 2, 10},
    {"cht", 3, 11}, {"chs", 3, 12}, {"pt", 2, 13},
};

static bool MatchesPrefix(const char* value, const LanguageRow& row) {
  // A value shorter than the prefix ends at its terminator, which never
  // equals a letter of the prefix.
  return SameIgnoringAsciiCase(value, row.prefix,
                               static_cast<size_t>(row.compared));
}

int LanguageNumberFor(const char* abbreviation) {
  for (const LanguageRow& row : LanguageTable) {
    if (MatchesPrefix(abbreviation, row)) return row.number;
  }
  return 0;
}

int GetLanguageNumber() {
  char value[16] = "";
  GetProfileStringA(kProfileSection, kProfileLanguageKey, NULL, value,
                    sizeof value);
  value[sizeof value - 1] = '\0';
  return LanguageNumberFor(value);
}

void FormatLanguageNumber(int number,
                          char (&text)[kLanguageNumberTextCapacity]) {
  if (number < 0 || number > 99) number = 0;
  int at = 0;
  if (number >= 10) text[at++] = static_cast<char>('0' + number / 10);
  text[at++] = static_cast<char>('0' + number % 10);
  text[at] = '\0';
}
