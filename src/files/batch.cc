#include "files/batch.h"

#include <string.h>

#include "files/compose.h"
#include "files/directories.h"
#include "files/textfile.h"
#include "fixed_texts.h"

struct SearchText {
  const char* text;
  size_t length;
};

// Only a line's last piece holds an LF, so only it can hold the line; the
// whole line goes with it.
static bool HoldsLine(const TextLine& line, const void* context) {
  const SearchText* search = static_cast<const SearchText*>(context);
  return LineHoldsText(line, search->text, search->length);
}

int RewriteBatchFile(const char* target, const char* temp, const char* line) {
  SearchText search = {line, strlen(line)};
  // The temporary file comes first: without it the target is not even
  // opened.
  TextWriter out;
  if (!TextWriterOpen(&out, temp)) return 0;

  TextReader in;
  OpenResult opened = TextReaderOpen(&in, target);
  if (opened == kOpenFailed) return AbandonTempFile(&out, temp);

  // Nothing read counts as ending with a line end: no LF is added.
  bool ends_with_lf = true;
  if (opened == kOpened) {
    bool read_whole =
        CopyKeptLines(&in, &out, HoldsLine, &search, &ends_with_lf);
    TextReaderClose(&in);
    if (!read_whole) return AbandonTempFile(&out, temp);
  }
  if (!ends_with_lf) TextWrite(&out, "\n", 1);
  TextWrite(&out, search.text, search.length);
  return CommitTempFile(&out, temp, target);
}

int UpdateAutoexecBat() {
  return RewriteBatchFile(kAutoexecPath, kAutoexecTempPath, kBlasterLine);
}

int UpdateDosstartBat() {
  char target[kComposedCapacity];
  char temp[kComposedCapacity];
  char command[kComposedCapacity];
  ComposeFileAndTemp(target, temp, WindowsDirShort, kDosstartName,
                     kDosstartTempName);
  ComposeInDirectory(command, SystemDirShort, kToolCommandTail);
  return RewriteBatchFile(target, temp, command);
}
