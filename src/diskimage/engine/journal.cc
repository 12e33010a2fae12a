#include "diskimage/engine/journal.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>

#include "diskimage/formats/commit.h"
#include "diskimage/formats/layer.h"
#include "diskimage/qemu/tools.h"
#include "diskimage/qemu/view.h"
#include "helpers/io.h"
#include "helpers/spawn.h"
#include "lines.h"
#include "stops/steps.h"

namespace {

const char kRecordHeading[] = "dossetup journal 1";

// The record's states: committed (nothing of it written into the image
// yet), then, for a commit in place, committing (the image may hold part
// of it).
const char kCommitted[] = "committed";
const char kCommitting[] = "committing";

// The digests of the sectors a commit writes follow the record's text.
const char kBefore[] = "before ";
const uint64_t kLargestRecord = uint64_t{64} << 20;
const uint64_t kPiece = 1 << 20;  // read at a time

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

std::string Nanoseconds(const struct timespec& time) {
  char text[48];
  snprintf(text, sizeof text, "%lld.%09ld", static_cast<long long>(time.tv_sec),
           time.tv_nsec);
  return text;
}

// What identifies the image: a record made over another file, or over
// this one since changed by anything else, is never committed. The file
// system is named by its own id (ext4, XFS and btrfs derive it from their
// UUID), since the device number can change when the machine restarts,
// which is just when a record is read; the device is kept for file systems
// that give no id, and for records that name nothing else.
std::string Identity(int fd) {
  struct stat st;
  struct statfs fs;
  if (fstat(fd, &st) != 0 || fstatfs(fd, &fs) != 0) return "";
  unsigned ids[2];
  static_assert(sizeof fs.f_fsid == sizeof ids, "an fsid is two ints");
  memcpy(ids, &fs.f_fsid, sizeof ids);
  std::string filesystem;
  if (ids[0] != 0 || ids[1] != 0) {
    char text[32];
    snprintf(text, sizeof text, "%08x%08x", ids[0], ids[1]);
    filesystem = std::string("filesystem ") + text + "\n";
  }
  return "device " + std::to_string(st.st_dev) + "\n" + filesystem + "inode " +
         std::to_string(st.st_ino) + "\nsize " + std::to_string(st.st_size) +
         "\nmodified " + Nanoseconds(st.st_mtim) + "\n";
}

std::string RecordText(const Journal& journal, const char* state) {
  return std::string(kRecordHeading) + "\nformat " + journal.format +
         "\nsizing " + journal.sizing + "\nstate " + state + "\n" +
         Identity(journal.image_fd);
}

// A record as read: its text, and the digests that follow it (8 bytes a
// sector). `text` is empty when the bytes are no record.
struct Record {
  std::string text;
  std::string before;
};

Record ParseRecord(const std::string& bytes) {
  Record record;
  size_t at = bytes.find(std::string("\n") + kBefore);
  if (at == std::string::npos) return record;
  size_t line_end = bytes.find('\n', at + 1);
  if (line_end == std::string::npos) return record;
  uint64_t count =
      strtoull(bytes.c_str() + at + 1 + strlen(kBefore), nullptr, 10);
  record.before = bytes.substr(line_end + 1);
  if (record.before.size() / 8 != count || record.before.size() % 8 != 0) {
    record.before.clear();
    return record;
  }
  record.text = bytes.substr(0, at + 1);
  return record;
}

// A record's fields by name.
std::map<std::string, std::string> Fields(const std::string& text) {
  std::map<std::string, std::string> fields;
  for (const std::string& line : SplitLines(text)) {
    size_t blank = line.find(' ');
    if (blank != std::string::npos) {
      fields[line.substr(0, blank)] = line.substr(blank + 1);
    }
  }
  return fields;
}

// Whether `found`, a number as Fields holds it, is at least `floor`.
// Times compare as text of the same shape; a missing floor holds.
bool AtLeast(const std::string& found, const std::string& floor) {
  if (floor.empty()) return true;
  if (found.size() != floor.size()) return found.size() > floor.size();
  return found >= floor;
}

// Whether record fields `then` and `now` hold the same `names`, and name
// the same file: by file system and inode where the record names its file
// system, else by device and inode.
bool Same(std::map<std::string, std::string>& then,
          std::map<std::string, std::string>& now,
          std::initializer_list<const char*> names) {
  for (const char* name : names) {
    if (then.count(name) == 0 || then[name] != now[name]) return false;
  }
  const char* where = then.count("filesystem") ? "filesystem" : "device";
  return then[where] == now[where] && then.count("inode") &&
         then["inode"] == now["inode"];
}

// A committed record over this very image, unchanged since.
bool CommittedHere(const Journal& journal, const std::string& text) {
  std::map<std::string, std::string> then = Fields(text);
  std::map<std::string, std::string> now =
      Fields(RecordText(journal, kCommitted));
  return text.rfind(std::string(kRecordHeading) + "\n", 0) == 0 &&
         Same(then, now, {"format", "sizing", "state", "size", "modified"});
}

// A committing record over this very image: the same file, its own
// format, and a size and time that only the commit moved forward since. A
// raw image's size never changes.
bool CommittingHere(const Journal& journal, const std::string& text) {
  std::map<std::string, std::string> then = Fields(text);
  std::map<std::string, std::string> now =
      Fields(RecordText(journal, kCommitting));
  if (text.rfind(std::string(kRecordHeading) + "\n", 0) != 0 ||
      !Same(then, now, {"format", "sizing", "state"})) {
    return false;
  }
  bool size_holds = journal.format == "raw"
                        ? then["size"] == now["size"]
                        : AtLeast(now["size"], then["size"]);
  return journal.in_place && size_holds &&
         AtLeast(now["modified"], then["modified"]);
}

// Replaces the record in one atomic step: written whole beside it, synced,
// renamed over it.
bool WriteRecord(const Journal& journal, const char* state,
                 const std::string& before) {
  std::string text = RecordText(journal, state) + kBefore +
                     std::to_string(before.size() / 8) + "\n" + before;
  std::string fresh = journal.record + ".new";
  unlink(fresh.c_str());
  int fd = open(fresh.c_str(),
                O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  bool ok = WriteAll(fd, text.data(), text.size()) && fsync(fd) == 0;
  ok = close(fd) == 0 && ok &&
       rename(fresh.c_str(), journal.record.c_str()) == 0 &&
       SyncFolderOf(journal.record);
  if (!ok) unlink(fresh.c_str());
  return ok;
}

// The record, read whole; empty when there is none, or it is too large to
// be one.
Record ReadRecord(const Journal& journal) {
  int fd = open(journal.record.c_str(),
                O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return Record();
  struct stat st;
  std::string bytes;
  bool read = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
              static_cast<uint64_t>(st.st_size) <= kLargestRecord &&
              ReadAll(fd, &bytes);
  close(fd);
  return read ? ParseRecord(bytes) : Record();
}

// The image's node in QEMU's option syntax, after `prefix`, its bytes in
// file `path`.
std::string ImageOptions(const Journal& journal, const std::string& prefix,
                         const std::string& path) {
  std::string options = prefix + "driver=" + journal.format + "," + prefix +
                        "file.driver=file," + prefix + "file.locking=off," +
                        prefix + "file.filename=" + OptionValue(path);
  if (!journal.sizing.empty()) {
    options += "," + prefix + "force_size_calc=" + journal.sizing;
  }
  return options;
}

// QEMU's commit into file `target` (the image, or its copy), whatever
// backing file name the journal holds, then `target_fd` synced.
bool RunCommit(const Journal& journal, const std::string& target,
               int target_fd) {
  std::vector<std::string> env = QemuEnvironment();
  for (std::string& added : StepCommitEnvironment(target)) env.push_back(added);
  return RunQemuTool(journal.image,
                     {"qemu-img", "commit", "-q", "-d", "--image-opts",
                      "driver=qcow2,file.driver=file,file.locking=off,"
                      "file.filename=" +
                          OptionValue(journal.overlay) + "," +
                          ImageOptions(journal, "backing.", target)},
                     nullptr, env) == 0 &&
         fsync(target_fd) == 0;
}

// Clusters a cut qcow2 or qed commit allocated and never used.
bool RepairLeaks(const Journal& journal) {
  if (journal.format != "qcow2" && journal.format != "qed") return true;
  return RunQemuTool(journal.image,
                     {"qemu-img", "check", "-q", "-r", "leaks", "--image-opts",
                      ImageOptions(journal, "", journal.image)}) == 0;
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// All of `from` into the empty file `to`: a reflink where the file system
// shares blocks, else a copy that keeps holes.
bool CopyWhole(int from, int to) {
  if (ioctl(to, FICLONE, from) == 0) return true;
  struct stat st;
  if (fstat(from, &st) != 0) return false;
  off_t end = st.st_size;
  off_t data = 0;
  while (data < end) {
    data = lseek(from, data, SEEK_DATA);
    if (data < 0) {
      if (errno == ENXIO) break;  // only a hole is left
      return false;
    }
    off_t hole = lseek(from, data, SEEK_HOLE);
    if (hole < 0) return false;
    while (data < hole) {
      loff_t in = data, out = data;
      ssize_t count = copy_file_range(from, &in, to, &out,
                                      static_cast<size_t>(hole - data), 0);
      if (count <= 0) return false;
      data += count;
    }
  }
  return ftruncate(to, end) == 0;
}

// The commit for formats committed whole: into a copy of the image, which
// replaces it once synced. The image itself is never written.
bool CommitIntoCopy(const Journal& journal) {
  unlink(journal.copy.c_str());
  int copy = open(journal.copy.c_str(),
                  O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (copy < 0) return false;
  struct stat st;
  bool ok = fstat(journal.image_fd, &st) == 0 &&
            CopyWhole(journal.image_fd, copy) &&
            fchmod(copy, st.st_mode & 07777) == 0;
  // The copy takes the image's owner where this user may give it.
  if (ok && fchown(copy, st.st_uid, st.st_gid) != 0 && geteuid() == 0) {
    ok = false;
  }
  ok = ok && RunCommit(journal, journal.copy, copy);
  ok = close(copy) == 0 && ok &&
       rename(journal.copy.c_str(), journal.image.c_str()) == 0 &&
       SyncFolderOf(journal.image);
  if (!ok) unlink(journal.copy.c_str());
  return ok;
}

// The nodes that show the image, read-only, as node "image".
std::vector<std::string> ImageNodes(const Journal& journal) {
  if (!journal.image_nodes.empty()) return journal.image_nodes;
  return {ImageOptions(journal, "", journal.image) +
          ",node-name=image,read-only=on"};
}

// A digest of a sector's bytes, to tell them from others.
uint64_t SectorDigest(const char* sector) {
  uint64_t digest = 0xcbf29ce484222325;
  for (uint64_t at = 0; at < kSector; at += 8) {
    uint64_t word;
    memcpy(&word, sector + at, sizeof word);
    digest = (digest ^ word) * 0x100000001b3;
    digest ^= digest >> 29;
  }
  return digest;
}

// Hands each piece of `extents` of the disk the image shows now to `use`:
// read by the program itself for a format of its own or raw, else through
// a view of the image alone that cannot write.
bool ReadImageDisk(const Journal& journal,
                   const std::vector<StoredExtent>& extents,
                   const std::function<bool(const StoredExtent&, uint64_t,
                                            const std::string&)>& use) {
  RawView view;
  int fd = journal.image_fd;
  bool own = journal.chain != nullptr;
  bool open_view = journal.image_view && !journal.image_view->disk.empty();
  if (!own && journal.format != "raw") {
    if (!open_view && !OpenRawView(ImageBlockdevs(journal), false,
                                   ImageFolder(journal.image), &view)) {
      return false;
    }
    fd = open((open_view ? journal.image_view : &view)->disk.c_str(),
              O_RDONLY | O_CLOEXEC);
  }
  bool ok = fd >= 0;
  std::string bytes;
  for (const StoredExtent& extent : extents) {
    uint64_t end = extent.offset + extent.length;
    for (uint64_t offset = extent.offset; ok && offset < end;) {
      bytes.resize(std::min(kPiece, end - offset));
      ok = (own ? ReadComposed(*journal.chain, 0, offset, &bytes[0],
                               bytes.size())
                : ReadStored(fd, offset, &bytes[0], bytes.size())) &&
           use(extent, offset, bytes);
      offset += bytes.size();
    }
  }
  if (fd >= 0 && fd != journal.image_fd) close(fd);
  if (!view.folder.empty()) ok = CloseRawView(&view) && ok;
  return ok;
}

// The digests of what the image holds now in the sectors of `extents`.
bool Digests(const Journal& journal, const std::vector<StoredExtent>& extents,
             std::string* before) {
  before->clear();
  return ReadImageDisk(
      journal, extents,
      [&](const StoredExtent&, uint64_t, const std::string& bytes) {
        for (uint64_t at = 0; at + kSector <= bytes.size(); at += kSector) {
          uint64_t digest = SectorDigest(&bytes[at]);
          before->append(reinterpret_cast<const char*>(&digest), 8);
        }
        return true;
      });
}

// Whether every sector of `extents` still holds, in the image, the bytes
// it held before the commit (by `before`'s digests) or those the commit
// writes (the journal's, from `source`): a commit cut short leaves only
// these, and anything else was written since by another program.
bool Untouched(const Journal& journal, const std::vector<StoredExtent>& extents,
               int source, const std::string& before) {
  uint64_t sector = 0;
  std::string fresh;
  bool read = ReadImageDisk(
      journal, extents,
      [&](const StoredExtent& extent, uint64_t offset,
          const std::string& bytes) {
        fresh.resize(bytes.size());
        if (!ReadExtent(source, extent, offset, &fresh[0], fresh.size())) {
          return false;
        }
        for (uint64_t at = 0; at + kSector <= bytes.size(); at += kSector) {
          uint64_t digest = SectorDigest(&bytes[at]);
          if ((sector + 1) * 8 > before.size()) return false;
          if (memcmp(&bytes[at], &fresh[at], kSector) != 0 &&
              memcmp(&digest, &before[sector * 8], 8) != 0) {
            return false;
          }
          ++sector;
        }
        return true;
      });
  return read && sector * 8 == before.size();
}

// The commit into a raw image, written here as qemu-img commit's job
// writes it (commit_run, block/commit.c: each range the journal holds,
// whole, at its offset; zeros where it holds zeros), then synced. Writing
// it again after a cut leaves the same disk.
bool CommitIntoRaw(const Journal& journal, int source,
                   const std::vector<StoredExtent>& extents) {
  std::string bytes;
  for (const StoredExtent& extent : extents) {
    uint64_t end = extent.offset + extent.length;
    for (uint64_t offset = extent.offset; offset < end;) {
      bytes.resize(std::min(kPiece, end - offset));
      if (!ReadExtent(source, extent, offset, &bytes[0], bytes.size()) ||
          !LayerWriteAt(journal.image_fd, bytes.data(), bytes.size(), offset)) {
        return false;
      }
      offset += bytes.size();
    }
  }
  return fsync(journal.image_fd) == 0;
}

// Whether the commit writes the image here rather than through qemu-img:
// a format of the program's own, or a raw image QEMU opens itself.
bool CommitsHere(const Journal& journal) {
  return journal.chain ||
         (journal.format == "raw" && journal.image_nodes.empty());
}

// The commit into a format of the program's own (commit.h).
bool CommitIntoOwn(const Journal& journal, int source,
                   const std::vector<StoredExtent>& extents) {
  return journal.chain && CommitIntoChain(journal.chain, source, extents);
}

// The commit's writes into the image itself, by whichever writes them.
bool WriteCommit(const Journal& journal, int source,
                 const std::vector<StoredExtent>& extents) {
  if (journal.chain) return CommitIntoOwn(journal, source, extents);
  if (CommitsHere(journal)) return CommitIntoRaw(journal, source, extents);
  return RunCommit(journal, journal.image, journal.image_fd);
}

// From the record past the commit point to the journal gone. A commit in
// place first says it is committing, with the digests `before`; `again`
// when an earlier one was cut, and then only into sectors that hold what
// the cut commit left. `why` says when another program wrote since.
bool CommitFromRecord(const Journal& journal, const std::string& before,
                      bool again, std::string* why,
                      const std::vector<StoredExtent>* mapped = nullptr) {
  if (!journal.in_place) {
    bool done = CommitIntoCopy(journal);
    if (done) DiscardJournal(journal);
    return done;
  }
  // QEMU's commit finds the clusters itself; a check, or the program's own
  // commit, needs them named, unless they were just mapped.
  std::vector<StoredExtent> extents;
  if (mapped) {
    extents = *mapped;
  } else if ((again || CommitsHere(journal)) &&
             !MapOwnExtents(journal.overlay, &extents)) {
    return false;
  }
  int source = open(journal.overlay.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (source < 0) return false;
  if (again && !Untouched(journal, extents, source, before)) {
    close(source);
    *why =
        "another program wrote to the image after a commit was cut short "
        "there; nothing was written, and the journal waits beside it (remove " +
        journal.record + " to keep the image as it is)";
    return false;
  }
  bool done = WriteRecord(journal, kCommitting, before) &&
              WriteCommit(journal, source, extents) &&
              (!again || RepairLeaks(journal));
  close(source);
  if (done) DiscardJournal(journal);
  return done;
}

}  // namespace

void JournalFor(const std::string& image, int image_fd,
                const std::string& format, const std::string& sizing,
                Journal* journal, Chain* chain) {
  *journal = Journal();
  journal->image = image;
  journal->overlay = journal->image + "-journal";
  journal->record = journal->image + "-journal-commit";
  journal->copy = journal->image + "-journal-image";
  journal->format = format;
  journal->sizing = sizing;
  journal->image_fd = image_fd;
  journal->chain = chain;
  journal->in_place = format == "raw" || format == "qcow2" || format == "qed" ||
                      chain != nullptr;
}

bool JournalWaits(const Journal& journal) {
  std::string text = ReadRecord(journal).text;
  return !text.empty() && Exists(journal.overlay) &&
         (CommittedHere(journal, text) || CommittingHere(journal, text));
}

bool SettleJournal(const Journal& journal, std::string* why) {
  Record record = ReadRecord(journal);
  const std::string& text = record.text;
  if (!text.empty() && Exists(journal.overlay)) {
    if (CommittedHere(journal, text)) {
      return CommitFromRecord(journal, record.before, false, why);
    }
    if (CommittingHere(journal, text)) {
      return CommitFromRecord(journal, record.before, true, why);
    }
  }
  // Not committed, or made over another image: it goes.
  if (Exists(journal.record) || Exists(journal.overlay) ||
      Exists(journal.record + ".new") || Exists(journal.copy)) {
    DiscardJournal(journal);
  }
  return true;
}

bool MakeJournalFile(const Journal& journal) {
  // The journal's name is this program's: whatever holds it goes, and the
  // file is made here, so that QEMU never writes through a link.
  unlink(journal.overlay.c_str());
  int fd = open(journal.overlay.c_str(),
                O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  return fd >= 0 && close(fd) == 0;
}

bool BeginJournal(const Journal& journal, RawView* view, uint64_t size) {
  // Named as its backing file only where QEMU can open the image itself.
  // The journal is synced once, at the commit point; a run cut short
  // before it is discarded whole, so flushes on the way buy nothing.
  bool made = AddJournalView(view, journal.overlay, size,
                             journal.image_nodes.empty() ? journal.image : "",
                             journal.format);
  if (!made) unlink(journal.overlay.c_str());
  return made;
}

std::vector<std::string> ImageBlockdevs(const Journal& journal) {
  std::vector<std::string> nodes = ImageNodes(journal);
  nodes.push_back("driver=raw,node-name=disk,file=image,read-only=on");
  return nodes;
}

// Whether a format of the program's own can take every change of
// `extents` (commit.h), known before the commit point.
bool OwnTakes(const Journal& journal, const std::vector<StoredExtent>& extents,
              std::string* why) {
  if (!journal.chain) return true;
  int source = open(journal.overlay.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  bool takes = source >= 0 && ChainTakes(*journal.chain, source, extents, why);
  if (source >= 0) close(source);
  return takes;
}

CommitResult CommitJournal(const Journal& journal, std::string* why) {
  // A commit in place first notes what each sector it writes holds now.
  std::vector<StoredExtent> extents;
  std::string before;
  if (!SyncFile(journal.overlay) ||
      (journal.in_place && (!MapOwnExtents(journal.overlay, &extents) ||
                            !Digests(journal, extents, &before)))) {
    DiscardJournal(journal);
    return kCommitDropped;
  }
  if (!OwnTakes(journal, extents, why)) {
    DiscardJournal(journal);
    return why->empty() ? kCommitDropped : kCommitRefused;
  }
  if (!WriteRecord(journal, kCommitted, before)) {
    DiscardJournal(journal);
    return kCommitDropped;
  }
  // Its daemon holds the files a qcow2 or a VMDK names, which the commit
  // writes.
  if (journal.image_view) CloseRawView(journal.image_view);
  StepHit();  // the commit point
  std::string unused;
  return CommitFromRecord(journal, before, false, &unused,
                          journal.in_place ? &extents : nullptr)
             ? kCommitDone
             : kCommitWaits;
}

void DiscardJournal(const Journal& journal) {
  // The record first: without it, what is left is never committed.
  unlink(journal.record.c_str());
  unlink((journal.record + ".new").c_str());
  unlink(journal.overlay.c_str());
  unlink(journal.copy.c_str());
  SyncFolderOf(journal.record);
}
