#include "diskimage/journal.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "diskimage/spawn.h"
#include "diskimage/steps.h"

namespace {

const char kRecordHeading[] = "dossetup journal 1";

// The record's states: committed (nothing of it written into the image
// yet), then committing (the image may hold part of it).
const char kCommitted[] = "committed";
const char kCommitting[] = "committing";

bool SyncFile(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  bool ok = fsync(fd) == 0;
  return close(fd) == 0 && ok;
}

bool SyncFolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return SyncFile(slash == 0 ? "/" : path.substr(0, slash));
}

// What identifies the image: a record made over another file, or over
// this one since changed by anything else, is never committed. The
// modification time is left out once a commit has begun, since the commit
// itself changes it.
std::string Identity(int fd, bool with_time) {
  struct stat st;
  if (fstat(fd, &st) != 0) return "";
  std::string identity = "device " + std::to_string(st.st_dev) + "\ninode " +
                         std::to_string(st.st_ino) + "\nsize " +
                         std::to_string(st.st_size) + "\n";
  if (with_time) {
    identity += "modified " + std::to_string(st.st_mtim.tv_sec) + "." +
                std::to_string(st.st_mtim.tv_nsec) + "\n";
  }
  return identity;
}

std::string RecordText(const Journal& journal, const char* state) {
  return std::string(kRecordHeading) + "\nformat " + journal.format +
         "\nsizing " + journal.sizing + "\nstate " + state + "\n" +
         Identity(journal.image_fd, strcmp(state, kCommitted) == 0);
}

// Replaces the record in one atomic step: written whole beside it, synced,
// renamed over it.
bool WriteRecord(const Journal& journal, const char* state) {
  std::string text = RecordText(journal, state);
  std::string fresh = journal.record + ".new";
  unlink(fresh.c_str());
  int fd = open(fresh.c_str(),
                O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  bool ok = write(fd, text.data(), text.size()) ==
                static_cast<ssize_t>(text.size()) &&
            fsync(fd) == 0;
  ok = close(fd) == 0 && ok &&
       rename(fresh.c_str(), journal.record.c_str()) == 0 &&
       SyncFolderOf(journal.record);
  if (!ok) unlink(fresh.c_str());
  return ok;
}

// The record's text, read whole (it is small); empty when there is none.
std::string ReadRecord(const Journal& journal) {
  int fd = open(journal.record.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return "";
  std::string text;
  char buffer[512];
  ssize_t count;
  while (text.size() < 4096 && (count = read(fd, buffer, sizeof buffer)) > 0) {
    text.append(buffer, static_cast<size_t>(count));
  }
  close(fd);
  return text;
}

// The image's node in QEMU's option syntax, after `prefix`.
std::string ImageOptions(const Journal& journal, const std::string& prefix) {
  std::string options = prefix + "driver=" + journal.format + "," + prefix +
                        "file.driver=file," + prefix + "file.locking=off," +
                        prefix + "file.filename=" + OptionValue(journal.image);
  if (!journal.sizing.empty()) {
    options += "," + prefix + "force_size_calc=" + journal.sizing;
  }
  return options;
}

// QEMU's commit, into the image named here, whatever backing file name
// the journal holds.
bool RunCommit(const Journal& journal) {
  std::string options =
      "driver=qcow2,file.driver=file,file.locking=off,"
      "file.filename=" +
      OptionValue(journal.overlay) + "," + ImageOptions(journal, "backing.");
  return RunProgram({"qemu-img", "commit", "-q", "-d", "--image-opts", options},
                    QemuEnvironment()) == 0 &&
         fsync(journal.image_fd) == 0;
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// From the record past the commit point: the image synced, the journal
// committed, so it goes.
bool CommitFromRecord(const Journal& journal) {
  if (!WriteRecord(journal, kCommitting) || !RunCommit(journal)) return false;
  DiscardJournal(journal);
  return true;
}

}  // namespace

void JournalFor(const std::string& image, int image_fd,
                const std::string& format, const std::string& sizing,
                Journal* journal) {
  *journal = Journal();
  journal->image = image;
  if (image[0] != '/') {
    char* cwd = getcwd(nullptr, 0);
    if (cwd) journal->image = std::string(cwd) + "/" + image;
    free(cwd);
  }
  journal->overlay = journal->image + "-journal";
  journal->record = journal->image + "-journal-commit";
  journal->format = format;
  journal->sizing = sizing;
  journal->image_fd = image_fd;
}

bool SettleJournal(const Journal& journal) {
  std::string text = ReadRecord(journal);
  if (!text.empty() && Exists(journal.overlay)) {
    bool committing = text == RecordText(journal, kCommitting);
    if (committing || text == RecordText(journal, kCommitted)) {
      return CommitFromRecord(journal);
    }
  }
  // Not committed, or made over another image: it goes.
  if (!text.empty() || Exists(journal.overlay) ||
      Exists(journal.record + ".new")) {
    DiscardJournal(journal);
  }
  return true;
}

bool BeginJournal(const Journal& journal, uint64_t size) {
  // The journal's name is this program's: whatever holds it goes, and the
  // file is made here, so that qemu-img never writes through a link.
  unlink(journal.overlay.c_str());
  int fd = open(journal.overlay.c_str(),
                O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  close(fd);
  bool made = RunProgram({"qemu-img", "create", "-q", "-f", "qcow2", "-u", "-b",
                          journal.image, "-F", journal.format, journal.overlay,
                          std::to_string(size)},
                         QemuEnvironment()) == 0;
  if (!made) unlink(journal.overlay.c_str());
  return made;
}

std::vector<std::string> JournalBlockdevs(const Journal& journal) {
  // The journal is synced once, at the commit point; a run cut short
  // before it is discarded whole, so flushes on the way buy nothing.
  return {ImageOptions(journal, "") + ",node-name=image,read-only=on",
          "driver=file,node-name=journal-file,locking=off,cache.no-flush=on,"
          "filename=" +
              OptionValue(journal.overlay),
          "driver=qcow2,node-name=disk,file=journal-file,backing=image"};
}

bool CommitJournal(const Journal& journal) {
  if (!SyncFile(journal.overlay) || !WriteRecord(journal, kCommitted)) {
    DiscardJournal(journal);
    return false;
  }
  StepHit();  // the commit point
  return CommitFromRecord(journal);
}

void DiscardJournal(const Journal& journal) {
  // The record first: without it, what is left is never committed.
  unlink(journal.record.c_str());
  unlink((journal.record + ".new").c_str());
  unlink(journal.overlay.c_str());
  SyncFolderOf(journal.record);
}
