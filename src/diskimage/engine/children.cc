#include "diskimage/engine/children.h"

#include <dirent.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <tuple>
#include <vector>

#include "diskimage/engine/names.h"
#include "diskimage/formats/bytes.h"
#include "diskimage/formats/layer.h"
#include "diskimage/formats/vhd.h"
#include "diskimage/formats/vhdx.h"
#include "diskimage/machines/vbox.h"
#include "helpers/io.h"
#include "helpers/paths.h"

namespace {

const uint64_t kSmallest = 64;  // no image is smaller (a VMDK descriptor)
const uint32_t kVdiSignature = 0xBEDA107F;
const uint32_t kBochsSparseMagic = 0x02468ACE;
const char kBochsMagic[] = "Bochs Virtual HD Image";
// What a file's own header says it is built on.
enum BuiltKind {
  kOnNothing,
  kOnNamedFile,     // a backing file or parent hint, by name
  kOnVhd,           // a VHD's unique id
  kOnVhdx,          // a VHDX's data write GUID, as text
  kOnVdi,           // a VDI's UUID
  kOnBochsRedolog,  // an undoable redolog: a base of its size and time
  kOnBochsSparse,   // a sparse layer: the layer one below it by name
};

struct Built {
  BuiltKind kind = kOnNothing;
  std::vector<std::string> names;  // as stored, for kOnNamedFile
  std::string id;
  uint64_t size = 0;   // an undoable redolog's disk
  uint32_t stamp = 0;  // and its base's time, where stamped
};

// What the image itself is known by to children that name it by an id.
struct Ids {
  std::string vhd, vhdx, vdi;
};

// Reads what the file `fd` of `size` bytes says it is built on.
Built ReadBuilt(int fd, uint64_t size) {
  Built built;
  std::string head = ReadAt(fd, 0, 512);
  if (head.size() >= 0x1B8 && LittleEndian(head, 0x40, 4) == kVdiSignature) {
    built.id = head.substr(0x1A8, 16);
    built.kind = built.id != std::string(16, '\0') ? kOnVdi : kOnNothing;
  } else if (head.compare(0, 8, "vhdxfile") == 0) {
    built.id = VhdxParentLinkage(fd);
    built.kind = built.id.empty() ? kOnNothing : kOnVhdx;
  } else if (head.size() >= 64 &&
             head.compare(0, sizeof kBochsMagic - 1, kBochsMagic) == 0) {
    if (head.size() >= 96 &&
        strcmp(head.substr(32, 16).c_str(), "Redolog") == 0 &&
        strcmp(head.substr(48, 16).c_str(), "Undoable") == 0) {
      // As Bochs reads them whatever the version (redolog.cc).
      built.kind = kOnBochsRedolog;
      built.size = LittleEndian(head, 88, 8);
      built.stamp = static_cast<uint32_t>(LittleEndian(head, 84, 4));
    }
  } else if (head.size() >= 4 &&
             LittleEndian(head, 0, 4) == kBochsSparseMagic) {
    built.kind = kOnBochsSparse;
  } else if (VhdTypeOf(fd) == kVhdDifferencing) {
    built.id = VhdParentId(fd);
    built.kind = built.id.empty() ? kOnNothing : kOnVhd;
  } else {
    built.names = BackingNames(fd, size);
    built.kind = built.names.empty() ? kOnNothing : kOnNamedFile;
  }
  return built;
}

// Each header is read once in a run, while its file stays the same.
using FileKey = std::tuple<dev_t, ino_t, off_t, long, long>;
std::map<FileKey, Built>& HeaderCache() {
  static std::map<FileKey, Built> cache;
  return cache;
}

struct Search {
  std::string image;   // absolute
  std::string folder;  // the image's
  std::string name;    // its file name
  int fd = -1;
  struct stat st;
  Ids ids;
  // What Bochs checks an undoable redolog against, read once when a
  // redolog is found (BochsBaseSize); UINT64_MAX until then.
  uint64_t bochs_size = UINT64_MAX;
  std::string child;  // found: its path
  std::string what;   // what it is, for the line
  bool writable = false;
};

bool SameFile(const std::string& path, const struct stat& image) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && st.st_dev == image.st_dev &&
         st.st_ino == image.st_ino;
}

// Whether `file` (`built` says what it is built on), at `path` in
// `folder`, is built on the image.
bool BuiltOnImage(Search* found_in, const std::string& folder,
                  const std::string& file, const Built& built) {
  const Search& search = *found_in;
  switch (built.kind) {
    case kOnNothing:
      return false;
    case kOnNamedFile:
      for (const std::string& name : built.names) {
        // A protocol or json: options name no file here.
        size_t stop = name.find_first_of(":/");
        if (name.empty() || (stop != std::string::npos && name[stop] == ':')) {
          continue;
        }
        std::string full = name[0] == '/' ? name : folder;
        if (name[0] != '/') full.append("/").append(name);
        if (SameFile(full, search.st)) {
          return true;
        }
      }
      return false;
    case kOnVhd:
      return !search.ids.vhd.empty() && built.id == search.ids.vhd;
    case kOnVhdx:
      return !search.ids.vhdx.empty() && built.id == search.ids.vhdx;
    case kOnVdi:
      return !search.ids.vdi.empty() && built.id == search.ids.vdi;
    case kOnBochsRedolog:
      // Bochs' default name, or a redolog whatever its name (a bochsrc's
      // journal=) that Bochs took over this disk: of its size, and stamped
      // with its time (hdimage.cc, coherency_check, which stamps a redolog
      // when Bochs first opens it).
      if (folder == search.folder && file == search.name + ".redolog") {
        return true;
      }
      if (search.bochs_size == UINT64_MAX) {
        found_in->bochs_size = BochsBaseSize(search.fd, search.image);
      }
      return search.bochs_size != 0 && built.size == search.bochs_size &&
             built.stamp != 0 && built.stamp == BochsTimeStamp(search.fd);
    case kOnBochsSparse: {
      // The layer over NAME is the one whose name, its last digit one
      // less, is NAME (hdimage.cc, sparse_image_t::open), through links,
      // as the "Common Base" of Bochs' user guide links www.img.0 to it.
      std::string below = SparseLayerBelow(folder + "/" + file);
      return !below.empty() && SameFile(below, search.st);
    }
  }
  return false;
}

// What a child is and what is left to the user, for the line.
void Describe(const Built& built, Search* search) {
  switch (built.kind) {
    case kOnVdi:
      search->what = "a VirtualBox snapshot";
      search->writable = true;
      break;
    case kOnVhdx:
      search->what = "a differencing VHDX";
      break;
    case kOnBochsRedolog:
      search->what = "Bochs' undoable redolog";
      break;
    case kOnBochsSparse:
      search->what = "a Bochs sparse layer";
      break;
    default:
      search->writable = true;
  }
}

// Looks through `folder` for a child of the image; true when found.
bool LookIn(const std::string& folder, Search* search) {
  int dir =
      open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dir < 0) return false;
  DIR* listing = fdopendir(dir);
  if (!listing) {
    close(dir);
    return false;
  }
  bool found = false;
  std::string journal = search->name + "-journal";
  while (struct dirent* entry = readdir(listing)) {
    std::string file = entry->d_name;
    // The journal beside the image is this program's own.
    if (file == "." || file == ".." ||
        file.compare(0, journal.size(), journal) == 0) {
      continue;
    }
    struct stat st;
    if (fstatat(dir, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) < kSmallest ||
        (st.st_dev == search->st.st_dev && st.st_ino == search->st.st_ino)) {
      continue;
    }
    FileKey key{st.st_dev, st.st_ino, st.st_size, st.st_mtim.tv_sec,
                st.st_mtim.tv_nsec};
    auto cached = HeaderCache().find(key);
    if (cached == HeaderCache().end()) {
      int fd =
          openat(dir, entry->d_name,
                 O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
      struct stat opened;
      if (fd < 0) continue;
      Built built;
      if (fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) &&
          opened.st_ino == st.st_ino) {
        built = ReadBuilt(fd, static_cast<uint64_t>(st.st_size));
      }
      close(fd);
      cached = HeaderCache().emplace(key, built).first;
    }
    if (BuiltOnImage(search, folder, file, cached->second)) {
      search->child = folder;
      search->child.append("/").append(file);
      Describe(cached->second, search);
      found = true;
      break;
    }
  }
  closedir(listing);
  return found;
}

// The first child of the disk whose registry entry is the image, in the
// VirtualBox machine files beside it.
bool LookInMachineFiles(Search* search) {
  for (const std::string& path : FilesEndingIn(search->folder, ".vbox")) {
    struct stat st;
    VboxMachine machine;
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
        !ReadVbox(path, &machine)) {
      continue;
    }
    for (const VboxDisk* disk : VboxDisks(machine)) {
      if (!disk->children.empty() && SameFile(disk->location, search->st)) {
        search->child = disk->children.front().location;
        search->what = "a VirtualBox snapshot";
        search->writable = true;
        return true;
      }
    }
  }
  return false;
}

// The child's path as the line gives it: from the image's folder where it
// lies below it.
std::string Shown(const Search& search) {
  std::string prefix = search.folder + "/";
  if (search.child.compare(0, prefix.size(), prefix) == 0) {
    return search.child.substr(prefix.size());
  }
  return search.child;
}

}  // namespace

ChildrenVerdict FindChildren(const std::string& path, int fd,
                             std::string* why) {
  Search search;
  search.image = path;
  search.folder = FolderOf(path);
  search.name = path.substr(path.rfind('/') + 1);
  search.fd = fd;
  if (fstat(fd, &search.st) != 0) return kNoChildren;
  struct stat lock;
  if (lstat((path + ".lock").c_str(), &lock) == 0) {
    *why = "in use by Bochs (" + search.name + ".lock lies beside it)";
    return kBochsLock;
  }
  search.ids.vhd = VhdUniqueId(fd);
  search.ids.vhdx = VhdxDataWriteGuid(fd);
  std::string head = ReadAt(fd, 0, 0x198);
  if (head.size() == 0x198 && LittleEndian(head, 0x40, 4) == kVdiSignature) {
    search.ids.vdi = head.substr(0x188, 16);
  }
  if (!LookIn(search.folder, &search) &&
      !LookIn(search.folder + "/Snapshots", &search) &&
      !LookInMachineFiles(&search)) {
    return kNoChildren;
  }
  std::string child = Shown(search);
  *why = child + (search.what.empty() ? "" : ", " + search.what + ",") +
         " is built on this disk; changing it would corrupt " + child + "; ";
  if (search.writable) {
    *why += "name " + child + " instead";
  } else if (search.what == "Bochs' undoable redolog") {
    *why += "commit it into this disk with bximage -func=commit first";
  } else {
    *why += "merge it into this disk first";
  }
  return kChildFound;
}
