#include "files/settings.h"

#include <string.h>

#include "files/compose.h"
#include "files/directories.h"
#include "files/textfile.h"
#include "fixed_texts.h"
#include "language/language.h"

static bool HoldsKey(const TextLine& line, const char* key) {
  return LineHoldsText(line, key, strlen(key));
}

// A key in any piece drops the whole line, so no fragment of it stays.
static bool HoldsEitherKey(const TextLine& line, const void*) {
  return HoldsKey(line, kWinpathKey) || HoldsKey(line, kLanguageKey);
}

int UpdateSettingsFile() {
  // The number is read first, even when the file turns out to be missing.
  char number[kLanguageNumberTextCapacity];
  FormatLanguageNumber(GetLanguageNumber(), number);

  char target[kComposedCapacity];
  char temp[kComposedCapacity];
  ComposeFileAndTemp(target, temp, SystemDirShort, kSettingsName,
                     kSettingsTempName);

  // The settings file must exist and be readable before a temporary file
  // is made.
  TextReader in;
  if (TextReaderOpen(&in, target) != kOpened) return 0;
  TextWriter out;
  if (!TextWriterOpen(&out, temp)) {
    TextReaderClose(&in);
    return 0;
  }

  // What was written, not what was read, decides the line end below.
  if (!CopyKeptLines(&in, &out, HoldsEitherKey, NULL, NULL)) {
    TextReaderClose(&in);
    return AbandonTempFile(&out, temp);
  }

  // The new lines never continue a kept line; what was written counts, so
  // a dropped last line brings no extra line end.
  if (out.wrote_any && out.last != '\n') TextWrite(&out, "\n", 1);
  TextWriteString(&out, kWinpathKey);
  TextWriteString(&out, WindowsDirShort);
  TextWrite(&out, "\n", 1);
  TextWriteString(&out, kLanguageKey);
  TextWriteString(&out, number);
  TextWrite(&out, "\n", 1);

  TextReaderClose(&in);
  return CommitTempFile(&out, temp, target);
}
