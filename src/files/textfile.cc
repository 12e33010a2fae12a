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
  reader->pending_cr = false;
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

// Room for one more converted block after the unread bytes, which are
// first moved to the front.
static bool MakeRoom(TextReader* reader) {
  if (reader->begin > 0) {
    memmove(reader->data, reader->data + reader->begin,
            reader->end - reader->begin);
    reader->end -= reader->begin;
    reader->begin = 0;
  }
  // A block converts to at most its own size plus a held-back CR.
  size_t needed = reader->end + kTextBlock + 1;
  if (needed <= reader->capacity) return true;
  size_t capacity = reader->capacity ? reader->capacity : 2 * kTextBlock;
  while (capacity < needed) capacity *= 2;
  char* data = static_cast<char*>(realloc(reader->data, capacity));
  if (!data) return false;
  reader->data = data;
  reader->capacity = capacity;
  return true;
}

// Converts raw bytes onto the end of the data: a CR directly before an LF
// is dropped. A CR that ends the block waits for the next block's first
// byte.
static void Convert(TextReader* reader, const char* raw, size_t count) {
  char* out = reader->data + reader->end;
  const char* end = raw + count;
  if (reader->pending_cr && raw < end) {
    if (*raw != kLF) *out++ = kCR;
    reader->pending_cr = false;
  }
  while (raw < end) {
    const char* cr = static_cast<const char*>(
        memchr(raw, kCR, static_cast<size_t>(end - raw)));
    const char* run_end = cr ? cr : end;
    memcpy(out, raw, static_cast<size_t>(run_end - raw));
    out += run_end - raw;
    if (!cr) break;
    if (cr + 1 == end) {
      reader->pending_cr = true;
    } else if (cr[1] != kLF) {
      *out++ = kCR;
    }
    raw = cr + 1;
  }
  reader->end = static_cast<size_t>(out - reader->data);
}

// Reads and converts one more block. False when reading failed.
static bool Fill(TextReader* reader) {
  if (!MakeRoom(reader)) return false;
  long count = FileRead(reader->file, reader->raw, kTextBlock);
  if (count < 0) return false;
  size_t size = static_cast<size_t>(count);
  if (size == 0) {
    reader->at_end = true;
  } else {
    const char* stop =
        static_cast<const char*>(memchr(reader->raw, kEndOfData, size));
    if (stop) {
      size = static_cast<size_t>(stop - reader->raw);
      reader->at_end = true;
    }
    Convert(reader, reader->raw, size);
  }
  // At the end nothing follows a held-back CR, so it stays.
  if (reader->at_end && reader->pending_cr) {
    reader->data[reader->end++] = kCR;
    reader->pending_cr = false;
  }
  return true;
}

int TextReaderLine(TextReader* reader, const char** line, size_t* length) {
  for (;;) {
    const char* start = reader->data + reader->begin;
    size_t available = reader->end - reader->begin;
    const char* lf = static_cast<const char*>(
        available > reader->scanned
            ? memchr(start + reader->scanned, kLF, available - reader->scanned)
            : NULL);
    if (lf || (reader->at_end && available > 0)) {
      size_t size = lf ? static_cast<size_t>(lf - start) + 1 : available;
      *line = start;
      *length = size;
      reader->begin += size;
      reader->scanned = 0;
      return 1;
    }
    if (reader->at_end) return 0;
    reader->scanned = available;
    if (!Fill(reader)) return -1;
  }
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

bool LineHoldsText(const char* line, size_t length, const char* text,
                   size_t text_length) {
  if (text_length > kPieceLength) {
    return Contains(line, length, text, text_length);
  }
  for (size_t offset = 0; offset < length; offset += kPieceLength) {
    size_t rest = length - offset;
    size_t piece = rest < kPieceLength ? rest : kPieceLength;
    if (Contains(line + offset, piece, text, text_length)) return true;
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
