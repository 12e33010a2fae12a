#include "diskimage/engine/names.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <utility>
#include <vector>

#include "diskimage/formats/bytes.h"
#include "diskimage/formats/layer.h"
#include "diskimage/formats/vhd.h"
#include "helpers/io.h"
#include "helpers/paths.h"
#include "lines.h"

namespace {

const int kDeepest = 16;                // backing files below the image
const size_t kLongestName = 1023;       // as QEMU allows
const uint64_t kLongestText = 1 << 20;  // a VMDK descriptor

// What one image names: files it is read through along with it (a data
// file, extents), and the backing file it reads the rest from.
struct Names {
  std::vector<std::string> own;
  std::vector<std::string> data;  // a qcow2's, found from the top's folder
  std::vector<std::string> backing;
  std::string fault;  // why the image itself is refused, if it is
};

// A name stored at `at`, `size` bytes long.
void StoredName(int fd, uint64_t at, uint64_t size,
                std::vector<std::string>* to, Names* names) {
  if (size == 0) return;
  std::string name = size > kLongestName ? "" : ReadAt(fd, at, size);
  if (name.size() != size) {
    names->fault = "names a file it does not hold whole";
  } else {
    to->push_back(name);
  }
}

// qcow (version 1) and qcow2: a backing file, and a qcow2's data file in
// a header extension.
void QcowNames(int fd, const std::string& head, bool data_file_too,
               Names* names) {
  uint64_t version = BigEndian(head, 4, 4);
  StoredName(fd, BigEndian(head, 8, 8), BigEndian(head, 16, 4), &names->backing,
             names);
  if (version < 2 || !data_file_too) return;
  const uint64_t kDataFileBit = 1 << 2;
  const uint32_t kDataFileExtension = 0x44415441;
  // QEMU's own bounds, before anything is read by them.
  uint64_t bits = BigEndian(head, 20, 4);
  if (bits < 9 || bits > 21) {
    names->fault = "holds a qcow2 cluster size QEMU refuses";
    return;
  }
  uint64_t cluster = uint64_t{1} << bits;
  uint64_t start = version >= 3 ? BigEndian(head, 100, 4) : 72;
  bool data_file = version >= 3 && (BigEndian(head, 72, 8) & kDataFileBit);
  std::string extensions =
      start < cluster ? ReadAt(fd, start, cluster - start) : "";
  bool named = false;
  for (size_t at = 0; at + 8 <= extensions.size();) {
    uint64_t type = BigEndian(extensions, at, 4);
    uint64_t length = BigEndian(extensions, at + 4, 4);
    if (type == 0 || at + 8 + length > extensions.size()) break;
    if (type == kDataFileExtension) {
      names->data.push_back(extensions.substr(at + 8, length));
      named = true;
    }
    at += 8 + (length + 7) / 8 * 8;
  }
  if (data_file && !named)
    names->fault = "keeps its data in a file it does not name";
}

// qed: a backing file when its feature bit says so.
void QedNames(int fd, const std::string& head, Names* names) {
  if (LittleEndian(head, 16, 8) & 1) {
    StoredName(fd, LittleEndian(head, 56, 4), LittleEndian(head, 60, 4),
               &names->backing, names);
  }
}

// Whether QEMU takes `head` for a VMDK text descriptor: comment and blank
// lines, then a version line.
bool LooksLikeDescriptor(const std::string& head) {
  size_t p = 0;
  while (p < head.size()) {
    if (head[p] == '#') {
      p = head.find('\n', p);
      if (p == std::string::npos) return false;
      ++p;
      continue;
    }
    if (head[p] == ' ') {
      while (p < head.size() && head[p] == ' ') ++p;
      if (p < head.size() && head[p] == '\n') {
        ++p;
        continue;
      }
    }
    for (const char* version :
         {"version=1\n", "version=2\n", "version=3\n", "version=1\r\n",
          "version=2\r\n", "version=3\r\n"}) {
      if (head.compare(p, std::string(version).size(), version) == 0) {
        return true;
      }
    }
    return false;
  }
  return false;
}

// A VMDK descriptor's extents (when it has its own) and parent.
void DescriptorNames(const std::string& text, bool extents, Names* names) {
  if (extents) {
    for (const std::string& line : SplitLines(text)) {
      size_t start = line.find_first_not_of(" \t");
      if (start == std::string::npos) continue;
      bool extent = false;
      for (const char* access : {"RW ", "RDONLY ", "NOACCESS "}) {
        extent = extent ||
                 line.compare(start, std::string(access).size(), access) == 0;
      }
      size_t open = line.find('"', start);
      size_t close =
          open == std::string::npos ? open : line.find('"', open + 1);
      if (!extent || close == std::string::npos) continue;
      // A ZERO extent is no file.
      if (line.find(" ZERO ") < open) continue;
      names->own.push_back(line.substr(open + 1, close - open - 1));
    }
  }
  const std::string kParent = "parentFileNameHint";
  size_t hint = text.find(kParent);
  if (hint != std::string::npos) {
    size_t start = hint + kParent.size() + 2;  // past '="'
    size_t end = text.find('"', start);
    if (start <= text.size() && end != std::string::npos) {
      names->backing.push_back(text.substr(start, end - start));
    }
    return;
  }
  // A delta disk that names its parent by content id alone: QEMU would
  // read it without its parent.
  for (const std::string& line : SplitLines(text)) {
    const std::string kParentCid = "parentCID=";
    if (line.compare(0, kParentCid.size(), kParentCid) != 0) continue;
    std::string cid = line.substr(kParentCid.size());
    for (char& c : cid) c = static_cast<char>(tolower(c));
    if (cid.compare(0, 8, "ffffffff") != 0) {
      names->fault = "names its parent by content id alone";
    }
  }
}

void VmdkNames(int fd, const std::string& head, uint64_t size, Names* names) {
  if (head.compare(0, 4, "KDMV") == 0) {
    // A sparse VMDK: its embedded descriptor names extents only when the
    // header itself holds no disk (a capacity of 0).
    uint64_t at = LittleEndian(head, 28, 8) * 512;
    uint64_t length = LittleEndian(head, 36, 8) * 512;
    if (length > kLongestText) {
      names->fault = "holds a descriptor too large to read";
    } else if (at > 0 && length > 0) {
      std::string text = ReadAt(fd, at, length);
      DescriptorNames(text.substr(0, text.find('\0')),
                      LittleEndian(head, 12, 8) == 0, names);
    }
  } else if (LooksLikeDescriptor(head)) {
    if (size > kLongestText) {
      names->fault = "is a descriptor too large to read";
    } else {
      DescriptorNames(ReadAt(fd, 0, size), true, names);
    }
  }
}

// Everything image `fd` names, by its format's own header; a qcow2's data
// file only if `data_file_too`.
Names ReadNames(int fd, uint64_t size, bool data_file_too = true) {
  Names names;
  std::string head = ReadAt(fd, 0, 2048);
  if (head.size() >= 104 && head.compare(0, 4, "QFI\xfb") == 0) {
    QcowNames(fd, head, data_file_too, &names);
  } else if (head.size() >= 64 &&
             head.compare(0, 4, std::string("QED\0", 4)) == 0) {
    QedNames(fd, head, &names);
  } else if (head.size() >= 44 || LooksLikeDescriptor(head)) {
    VmdkNames(fd, head, size, &names);
  }
  return names;
}

// QEMU takes a ':' before any '/' for a protocol ("nbd:", "json:"...).
bool NamesProtocol(const std::string& name) {
  size_t stop = name.find_first_of(":/");
  return stop != std::string::npos && name[stop] == ':';
}

struct Walk {
  std::string top;  // the image the run writes
  std::set<std::pair<dev_t, ino_t>> seen;
  std::string* why;
};

NamesVerdict Fault(Walk* walk, const std::string& name,
                   const std::string& reason,
                   NamesVerdict verdict = kNamesRefused) {
  *walk->why = "\"" + name + "\" " + reason;
  return verdict;
}

// Checks image `fd` at `path`, `depth` below the image the run writes.
NamesVerdict CheckFrom(const std::string& path, int fd, int depth, Walk* walk);

// A file that image `from` names: beside it for one the run writes
// through, anywhere for one only read.
NamesVerdict CheckNamed(const std::string& from, const std::string& name,
                        bool written, bool backing, int depth, Walk* walk) {
  if (name.empty() || NamesProtocol(name)) {
    return Fault(walk, name, "is not a plain file name");
  }
  if (written &&
      (name.find('/') != std::string::npos || name == "." || name == "..")) {
    return Fault(walk, name, "is written through but is not beside the image");
  }
  std::string full = name[0] == '/' ? name : FolderOf(from) + "/" + name;
  struct stat st;
  if ((written ? lstat(full.c_str(), &st) : stat(full.c_str(), &st)) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) {
      return Fault(walk, name, "does not exist", kNamesMissing);
    }
    return Fault(walk, name, "cannot be looked at");
  }
  if (!S_ISREG(st.st_mode)) {
    return Fault(
        walk, name,
        written && S_ISLNK(st.st_mode) ? "is a link" : "is not a regular file");
  }
  if (!backing) return kNamesSafe;
  if (depth + 1 > kDeepest)
    return Fault(walk, name, "is too deep a backing chain");
  if (walk->seen.count({st.st_dev, st.st_ino})) {
    return Fault(walk, name, "makes the backing chain loop");
  }
  int next = open(full.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (next < 0) return Fault(walk, name, "cannot be read");
  struct stat opened;
  NamesVerdict verdict =
      fstat(next, &opened) == 0 && S_ISREG(opened.st_mode) &&
              opened.st_dev == st.st_dev && opened.st_ino == st.st_ino
          ? CheckFrom(full, next, depth + 1, walk)
          : Fault(walk, name, "changed while it was looked at");
  close(next);
  return verdict;
}

NamesVerdict CheckFrom(const std::string& path, int fd, int depth, Walk* walk) {
  struct stat st;
  if (fstat(fd, &st) != 0) return Fault(walk, path, "cannot be looked at");
  walk->seen.insert({st.st_dev, st.st_ino});
  // A format the program reads itself (a differencing VHD...) QEMU would
  // misread: no other format's image may lead QEMU to one.
  if (const LayerFormat* own = ClaimingFormat(fd, path)) {
    return Fault(
        walk, path,
        std::string("is a disk QEMU would misread (") + own->name + ")");
  }
  // QEMU knows a VHD by the footer's copy at the start, and a dynamic one
  // names nothing else; a fixed one is what its first bytes make it, as
  // any other file.
  if (QemuSeesVhd(fd)) return kNamesSafe;
  Names names = ReadNames(fd, static_cast<uint64_t>(st.st_size));
  if (!names.fault.empty()) return Fault(walk, path, names.fault);
  for (const std::string& own : names.own) {
    NamesVerdict verdict =
        CheckNamed(path, own, depth == 0, false, depth, walk);
    if (verdict != kNamesSafe) return verdict;
  }
  // QEMU finds a data file from where it runs: the top image's folder.
  for (const std::string& data : names.data) {
    NamesVerdict verdict =
        CheckNamed(walk->top, data, depth == 0, false, depth, walk);
    if (verdict != kNamesSafe) return verdict;
  }
  for (const std::string& backing : names.backing) {
    NamesVerdict verdict = CheckNamed(path, backing, false, true, depth, walk);
    if (verdict != kNamesSafe) return verdict;
  }
  return kNamesSafe;
}

}  // namespace

std::vector<std::string> BackingNames(int fd, uint64_t size) {
  return ReadNames(fd, size, false).backing;
}

NamesVerdict CheckImageNames(const std::string& image, int fd,
                             std::string* why) {
  Walk walk;
  walk.top = image;
  walk.why = why;
  why->clear();
  return CheckFrom(image, fd, 0, &walk);
}
