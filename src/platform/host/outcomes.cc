#include "platform/host/outcomes.h"

#include <string.h>
#include <unistd.h>

#include "helpers/io.h"
#include "helpers/scratch.h"

namespace {

// Compares two streams as they come: the bytes one side has that the
// other has not reached yet wait in `ahead`. The reader stays a block or
// so ahead of the writer, so the two are seldom level; the bytes both have
// passed are dropped as they pile up, which keeps the memory to what one
// side is ahead by, whatever the file's size.
struct StreamCompare {
  static const size_t kCompactAt = size_t{256} * 1024;
  std::string ahead;
  size_t start = 0;  // of what still waits in `ahead`
  bool reader_ahead = true;
  bool differ = false;

  void Feed(bool from_reader, const char* data, size_t size) {
    if (differ || size == 0) return;
    if (start == ahead.size()) {
      ahead.clear();
      start = 0;
      reader_ahead = from_reader;
    }
    if (from_reader == reader_ahead) {
      // Moving what waits costs no more than the bytes passed since the
      // last move, so every byte is moved a bounded number of times.
      if (start >= kCompactAt && start >= ahead.size() - start) {
        ahead.erase(0, start);
        start = 0;
      }
      ahead.append(data, size);
      return;
    }
    size_t waiting = ahead.size() - start;
    size_t common = size < waiting ? size : waiting;
    if (memcmp(ahead.data() + start, data, common) != 0) {
      differ = true;
      std::string().swap(ahead);
      return;
    }
    start += common;
    if (common < size) {
      ahead.assign(data + common, size - common);
      start = 0;
      reader_ahead = from_reader;
    }
  }
  bool Same() const { return !differ && start == ahead.size(); }
};

struct Watch {
  bool on = false;
  std::string path;
  bool keep_texts = false;
  StreamCompare compare;
  bool missing = false;
  bool replaced = false;
  std::string failure;
  bool texts_lost = false;
  int old_fd = -1;
  int new_fd = -1;
};

Watch watch;

}  // namespace

void WatchFile(const char* windows_path, bool keep_texts) {
  watch = Watch();
  watch.on = true;
  watch.path = windows_path;
  watch.keep_texts = keep_texts;
  if (keep_texts) {
    watch.new_fd = ScratchFile();
    watch.texts_lost = watch.new_fd < 0;
  }
}

FileReport FinishFile() {
  FileReport report;
  report.path = watch.path;
  if (!watch.failure.empty()) {
    report.why = watch.failure;
  } else if (watch.replaced) {
    report.outcome = watch.compare.Same() ? kFileAlreadySet : kFileUpdated;
  } else if (watch.missing) {
    report.outcome = kFileAbsent;
  } else {
    report.why = "left as it was";
  }
  report.texts_lost = watch.keep_texts && watch.texts_lost;
  if (report.outcome == kFileUpdated && !report.texts_lost) {
    report.old_fd = watch.old_fd;
    report.new_fd = watch.new_fd;
  } else {
    if (watch.old_fd >= 0) close(watch.old_fd);
    if (watch.new_fd >= 0) close(watch.new_fd);
  }
  watch = Watch();
  return report;
}

void NoteRead(const char* data, size_t size) {
  if (watch.on) watch.compare.Feed(true, data, size);
}

void NoteWrite(const char* data, size_t size) {
  if (!watch.on) return;
  watch.compare.Feed(false, data, size);
  if (watch.new_fd >= 0 && !WriteAll(watch.new_fd, data, size)) {
    watch.texts_lost = true;
  }
}

void NoteMissing(const char* windows_path) {
  if (watch.on && watch.path == windows_path) watch.missing = true;
}

void NoteFailure(const std::string& why) {
  if (watch.on && watch.failure.empty()) watch.failure = why;
}

void NoteReplaced(int old_fd) {
  if (!watch.on) return;
  watch.replaced = true;
  if (!watch.keep_texts) return;
  watch.old_fd = ScratchFile();
  char block[64 * 1024];
  ssize_t count = 0;
  while (old_fd >= 0 && (count = read(old_fd, block, sizeof block)) > 0) {
    if (!WriteAll(watch.old_fd, block, static_cast<size_t>(count))) break;
  }
  if (watch.old_fd < 0 || count != 0) watch.texts_lost = true;
}

bool KeepingTexts() {
  return watch.on && watch.keep_texts;
}
