#include "files/batch.h"

#include <string.h>

#include "files/compose.h"
#include "files/textfile.h"
#include "names.h"
#include "startup/directories.h"

int RewriteBatchFile(const char* target, const char* temp, const char* line) {
  size_t line_length = strlen(line);
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
    const char* text;
    size_t length;
    int got = 0;
    while (!out.failed && (got = TextReaderLine(&in, &text, &length)) > 0) {
      ends_with_lf = text[length - 1] == '\n';
      // Only a line's last piece holds an LF, so only it can match; the
      // whole line goes with it.
      if (!LineHoldsText(text, length, line, line_length)) {
        TextWrite(&out, text, length);
      }
    }
    TextReaderClose(&in);
    if (got < 0) return AbandonTempFile(&out, temp);
  }
  if (!ends_with_lf) TextWrite(&out, "\n", 1);
  TextWrite(&out, line, line_length);
  return CommitTempFile(&out, temp, target);
}

int UpdateAutoexecBat() {
  return RewriteBatchFile(kAutoexecPath, kAutoexecTempPath, kBlasterLine);
}

int UpdateDosstartBat() {
  char target[kComposedCapacity];
  char temp[kComposedCapacity];
  char command[kComposedCapacity];
  ComposeInDirectory(target, WindowsDirShort, kDosstartName);
  ComposeInDirectory(temp, WindowsDirShort, kDosstartTempName);
  ComposeInDirectory(command, SystemDirShort, kToolCommandTail);
  return RewriteBatchFile(target, temp, command);
}
