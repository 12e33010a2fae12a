// The text rules of the batch files and the settings file, the same on
// every host:
// - reading drops a CR directly followed by an LF, keeps every other CR,
//   and stops at the first 0x1A byte;
// - writing stores every LF as CR LF and adds nothing at the end;
// - a line is tested as pieces of at most kPieceLength characters (counted
//   after the CR LF conversion), its LF included in the last piece.
// Every byte, 0 included, is data.
#ifndef DOSSETUP_FILES_TEXTFILE_H_
#define DOSSETUP_FILES_TEXTFILE_H_

#include <stddef.h>

#include "platform/platform.h"

const size_t kPieceLength = 255;
const size_t kTextBlock = size_t{64} * 1024;

struct TextReader {
  PlatformFile* file;
  char raw[kTextBlock];
  char* data;       // converted bytes; grows to hold the longest line
  size_t capacity;  // of data
  size_t begin;     // first byte not yet returned
  size_t end;       // end of the converted bytes
  size_t scanned;   // bytes after begin known to hold no LF
  bool pending_cr;  // the last raw byte was a CR; its fate is undecided
  bool at_end;      // no more raw bytes will come
};

// Opens the file; on kOpened the reader must be closed.
OpenResult TextReaderOpen(TextReader* reader, const char* path);
// Gives the next line, LF included if it has one; the bytes stay valid
// until the next call. Returns 1 for a line, 0 at the end, -1 when reading
// failed.
int TextReaderLine(TextReader* reader, const char** line, size_t* length);
void TextReaderClose(TextReader* reader);

struct TextWriter {
  PlatformFile* file;
  char buffer[kTextBlock];
  size_t used;
  bool failed;     // a write failed; later writes are dropped
  bool wrote_any;  // anything has been written
  char last;       // the last character written, before conversion
};

// Creates or empties the file. False when it cannot be opened.
bool TextWriterOpen(TextWriter* writer, const char* path);
void TextWrite(TextWriter* writer, const char* text, size_t length);
void TextWriteString(TextWriter* writer, const char* text);
// True when every byte reached the file and it closed cleanly.
bool TextWriterClose(TextWriter* writer);

// True when the line holds `text` whole within one of its pieces. A text
// too long for any piece is looked for in the whole line instead, so that
// a line written from it can still be found again.
bool LineHoldsText(const char* line, size_t length, const char* text,
                   size_t text_length);

// Replacing a file through its temporary file. Commit closes the temporary
// file, copies it over the target if every write succeeded, deletes it,
// and returns the delete's result (0 when nothing was copied). Abandon
// closes and deletes it and returns 0; the target stays as it was.
int CommitTempFile(TextWriter* temp, const char* temp_path,
                   const char* target_path);
int AbandonTempFile(TextWriter* temp, const char* temp_path);

#endif  // DOSSETUP_FILES_TEXTFILE_H_
