// The text rules of the batch files and the settings file, the same on
// every host:
// - reading drops a CR directly followed by an LF, keeps every other CR,
//   and stops at the first 0x1A byte;
// - writing stores every LF as CR LF and adds nothing at the end;
// - a line is tested as pieces of at most kPieceLength characters (counted
//   after the CR LF conversion), its LF included in the last piece.
// Every byte, 0 included, is data.
//
// A line holds one LF at most, at its end, so the only CR reading can drop
// is the one just before it. Lines are therefore kept as stored, and a
// line stored with CR LF is written back as the very same bytes.
#ifndef DOSSETUP_FILES_TEXTFILE_H_
#define DOSSETUP_FILES_TEXTFILE_H_

#include <stddef.h>

#include "platform/platform.h"

const size_t kPieceLength = 255;
const size_t kTextBlock = size_t{64} * 1024;

// One line as stored, and what it reads as: `text_length` characters, then an
// LF if `has_lf`.
struct TextLine {
  const char* bytes;   // as stored, line end included
  size_t length;       // of bytes
  size_t text_length;  // characters before the line end
  bool has_lf;
};

// Classifies stored bytes that hold no LF but perhaps a final one.
TextLine TextLineFrom(const char* bytes, size_t length);

struct TextReader {
  PlatformFile* file;
  char* data;       // stored bytes; grows to hold the longest line
  size_t capacity;  // of data
  size_t begin;     // first byte not yet returned
  size_t end;       // end of the bytes read
  size_t scanned;   // bytes after begin known to hold no LF
  bool at_end;      // no more bytes will come (end of file, or 0x1A)
};

// Opens the file; on kOpened the reader must be closed.
OpenResult TextReaderOpen(TextReader* reader, const char* path);
void TextReaderClose(TextReader* reader);

struct TextWriter {
  PlatformFile* file;
  char buffer[kTextBlock];
  size_t used;
  bool failed;     // a write failed; later writes are dropped
  bool wrote_any;  // anything has been written
  char last;       // the last character written, as read (LF for CR LF)
};

// Creates or empties the file. False when it cannot be opened.
bool TextWriterOpen(TextWriter* writer, const char* path);
// Writes text, storing each LF as CR LF.
void TextWrite(TextWriter* writer, const char* text, size_t length);
void TextWriteString(TextWriter* writer, const char* text);
// True when every byte reached the file and it closed cleanly.
bool TextWriterClose(TextWriter* writer);

// Says whether a line is to be dropped.
typedef bool (*LineTest)(const TextLine& line, const void* context);

// Reads the whole file and writes every line that `drop` does not claim,
// in order, each line end stored as CR LF; runs of lines stored that way
// are copied as they stand. `ended_with_lf` tells whether the last line
// read, dropped or not, ended with an LF (true when there was no line);
// it may be null. Returns false when reading failed; a failed write shows in
// the writer.
bool CopyKeptLines(TextReader* reader, TextWriter* writer, LineTest drop,
                   const void* context, bool* ended_with_lf);

// True when the line, as read, holds `text` whole within one of its
// pieces. `text` holds no LF, or one at its end. A text too long for any
// piece is looked for in the whole line instead, so that a line written
// from it can still be found again.
bool LineHoldsText(const TextLine& line, const char* text, size_t text_length);

// Replacing a file through its temporary file. Commit closes the temporary
// file, copies it over the target if every write succeeded, deletes it,
// and returns the delete's result, which a failed copy does not change;
// when a write failed, nothing is copied and it returns 0. Abandon closes
// and deletes it and returns 0; the target stays as it was.
int CommitTempFile(TextWriter* temp, const char* temp_path,
                   const char* target_path);
int AbandonTempFile(TextWriter* temp, const char* temp_path);

#endif  // DOSSETUP_FILES_TEXTFILE_H_
