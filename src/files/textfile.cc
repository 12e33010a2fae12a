#include "files/textfile.h"

#include <stdlib.h>
#include <string.h>

static const char kCR = '\r';
static const char kLF = '\n';
static const char kEndOfData = 0x1A;

OpenResult TextReaderOpen(TextReader* reader, const char* path) {
  reader->file = NULL;
  reader->data = NULL;
  reader->capacity = 0;
  reader->begin = reader->end = reader->scanned = 0;
  reader->at_end = false;
  return FileOpenRead(path, &reader->file);
}

void TextReaderClose(TextReader* reader) {
  // Nothing was written through it, so a failed close loses nothing.
  FileClose(reader->file);
  free(reader->data);
  reader->file = NULL;
  reader->data = NULL;
}

TextLine TextLineFrom(const char* bytes, size_t length) {
  TextLine line;
  line.bytes = bytes;
  line.length = length;
  line.has_lf = length > 0 && bytes[length - 1] == kLF;
  line.text_length = length;
  if (line.has_lf) {
    line.text_length -= (length >= 2 && bytes[length - 2] == kCR) ? 2 : 1;
  }
  return line;
}

// Room for one more block after the unread bytes, which are first moved
// to the front.
static bool MakeRoom(TextReader* reader) {
  if (reader->begin > 0) {
    memmove(reader->data, reader->data + reader->begin,
            reader->end - reader->begin);
    reader->end -= reader->begin;
    reader->begin = 0;
  }
  size_t needed = reader->end + kTextBlock;
  if (needed <= reader->capacity) return true;
  size_t capacity = reader->capacity ? reader->capacity : 2 * kTextBlock;
  while (capacity < needed) capacity *= 2;
  char* data = static_cast<char*>(realloc(reader->data, capacity));
  if (!data) return false;
  reader->data = data;
  reader->capacity = capacity;
  return true;
}

// Reads one more block. False when reading failed.
static bool Fill(TextReader* reader) {
  if (!MakeRoom(reader)) return false;
  char* block = reader->data + reader->end;
  long count = FileRead(reader->file, block, kTextBlock);
  if (count < 0) return false;
  size_t size = static_cast<size_t>(count);
  const char* stop = static_cast<const char*>(memchr(block, kEndOfData, size));
  if (stop) size = static_cast<size_t>(stop - block);
  if (stop || count == 0) reader->at_end = true;
  reader->end += size;
  return true;
}

bool TextWriterOpen(TextWriter* writer, const char* path) {
  writer->used = 0;
  writer->failed = false;
  writer->wrote_any = false;
  writer->last = 0;
  writer->file = FileOpenWrite(path);
  return writer->file != NULL;
}

static void Flush(TextWriter* writer) {
  if (!writer->failed && writer->used > 0 &&
      !FileWrite(writer->file, writer->buffer, writer->used)) {
    writer->failed = true;
  }
  writer->used = 0;
}

// Appends bytes that hold no LF.
static void Put(TextWriter* writer, const char* bytes, size_t count) {
  while (count > 0) {
    if (writer->used == sizeof writer->buffer) Flush(writer);
    size_t room = sizeof writer->buffer - writer->used;
    size_t step = count < room ? count : room;
    memcpy(writer->buffer + writer->used, bytes, step);
    writer->used += step;
    bytes += step;
    count -= step;
  }
}

void TextWrite(TextWriter* writer, const char* text, size_t length) {
  if (length == 0) return;
  writer->wrote_any = true;
  writer->last = text[length - 1];
  const char* end = text + length;
  while (text < end) {
    const char* lf = static_cast<const char*>(
        memchr(text, kLF, static_cast<size_t>(end - text)));
    const char* run_end = lf ? lf : end;
    Put(writer, text, static_cast<size_t>(run_end - text));
    if (!lf) break;
    Put(writer, "\r\n", 2);
    text = lf + 1;
  }
}

void TextWriteString(TextWriter* writer, const char* text) {
  TextWrite(writer, text, strlen(text));
}

static void WriteLine(TextWriter* writer, const TextLine& line) {
  if (line.length == 0) return;
  writer->wrote_any = true;
  if (!line.has_lf) {
    writer->last = line.bytes[line.length - 1];
    Put(writer, line.bytes, line.length);
    return;
  }
  writer->last = kLF;
  if (line.length - line.text_length == 2) {
    // Stored with CR LF: written back as it is.
    Put(writer, line.bytes, line.length);
  } else {
    Put(writer, line.bytes, line.text_length);
    Put(writer, "\r\n", 2);
  }
}

// Writes kept lines that are stored with CR LF, as they stand.
static void WriteStoredRun(TextWriter* writer, const char* run, size_t size) {
  if (size == 0) return;
  writer->wrote_any = true;
  writer->last = kLF;
  Put(writer, run, size);
}

bool CopyKeptLines(TextReader* reader, TextWriter* writer, LineTest drop,
                   const void* context, bool* ended_with_lf) {
  bool last_had_lf = true;
  for (;;) {
    const char* data = reader->data;
    const char* end = data + reader->end;
    const char* line_start = data + reader->begin;
    const char* at = line_start + reader->scanned;
    // Kept lines stored with CR LF collect into one run, written when
    // something else comes or before the buffer moves.
    const char* run = line_start;
    while (at < end) {
      const char* lf = static_cast<const char*>(
          memchr(at, kLF, static_cast<size_t>(end - at)));
      if (!lf) break;
      TextLine line =
          TextLineFrom(line_start, static_cast<size_t>(lf + 1 - line_start));
      if (drop(line, context)) {
        WriteStoredRun(writer, run, static_cast<size_t>(line_start - run));
        run = lf + 1;
      } else if (line.length - line.text_length != 2) {
        WriteStoredRun(writer, run, static_cast<size_t>(line_start - run));
        WriteLine(writer, line);
        run = lf + 1;
      }
      line_start = at = lf + 1;
    }
    WriteStoredRun(writer, run, static_cast<size_t>(line_start - run));
    reader->begin = static_cast<size_t>(line_start - data);
    reader->scanned = static_cast<size_t>(end - line_start);
    if (reader->at_end) {
      if (line_start < end) {
        // The last line, without a line end.
        TextLine line =
            TextLineFrom(line_start, static_cast<size_t>(end - line_start));
        last_had_lf = false;
        if (!drop(line, context)) WriteLine(writer, line);
        reader->begin = reader->end;
      }
      if (ended_with_lf) *ended_with_lf = last_had_lf;
      return true;
    }
    if (writer->failed) {
      // Nothing more will be stored; the caller will not copy it.
      if (ended_with_lf) *ended_with_lf = last_had_lf;
      return true;
    }
    if (!Fill(reader)) return false;
  }
}

bool TextWriterClose(TextWriter* writer) {
  Flush(writer);
  bool closed = FileClose(writer->file);
  writer->file = NULL;
  return closed && !writer->failed;
}

static bool Contains(const char* hay, size_t hay_length, const char* text,
                     size_t text_length) {
  if (text_length == 0) return true;
  while (hay_length >= text_length) {
    const char* first = static_cast<const char*>(
        memchr(hay, text[0], hay_length - text_length + 1));
    if (!first) return false;
    if (memcmp(first, text, text_length) == 0) return true;
    hay_length -= static_cast<size_t>(first - hay) + 1;
    hay = first + 1;
  }
  return false;
}

// The start of the piece that holds character `at` of a line.
static size_t PieceStart(size_t at) {
  return at - at % kPieceLength;
}

bool LineHoldsText(const TextLine& line, const char* text, size_t text_length) {
  if (text_length == 0) return true;
  if (text[text_length - 1] == kLF) {
    // The line's only LF is its last character, so the text can only
    // stand at its end, and must lie within the last piece.
    if (!line.has_lf) return false;
    size_t head = text_length - 1;  // the text before its LF
    if (line.text_length < head) return false;
    size_t at = line.text_length - head;
    if (memcmp(line.bytes + at, text, head) != 0) return false;
    return text_length > kPieceLength || at >= PieceStart(line.text_length);
  }
  // No LF in the text: it lies within the characters before the line end,
  // which are stored as they read.
  if (text_length > kPieceLength) {
    return Contains(line.bytes, line.text_length, text, text_length);
  }
  for (size_t offset = 0; offset < line.text_length; offset += kPieceLength) {
    size_t rest = line.text_length - offset;
    size_t piece = rest < kPieceLength ? rest : kPieceLength;
    if (Contains(line.bytes + offset, piece, text, text_length)) return true;
  }
  return false;
}

int CommitTempFile(TextWriter* temp, const char* temp_path,
                   const char* target_path) {
  if (!TextWriterClose(temp)) {
    // Never copy a temporary file that may be incomplete.
    DeleteFileA(temp_path);
    return 0;
  }
  // A failed copy leaves the target as it was; the temporary file goes
  // either way.
  CopyFileA(temp_path, target_path, FALSE);
  return DeleteFileA(temp_path);
}

int AbandonTempFile(TextWriter* temp, const char* temp_path) {
  TextWriterClose(temp);
  DeleteFileA(temp_path);
  return 0;
}
