// Runs inside disk images: the short names the volume stores, images it
// cannot use, that another process uses or that need what this user
// lacks, images that name other files, and a qcow2 overlay over its
// backing image.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "diskimage/qemu/tools.h"
#include "platform/host/drive/drive_c.h"
#include "platform/host/drive/short_name.h"
#include "platform/host/windows_path.h"
#include "platform/platform.h"
#include "startup/setup.h"
#include "support/program.h"
#include "support/scratch_drive.h"
#include "support/vdi_chain.h"
#include "support/vhd_chain.h"

namespace {

namespace fs = std::filesystem;
std::error_code error_code_ignored;

// What a file of an image holds, read with mtools.
std::string ReadFromImage(const std::string& spec, const std::string& path) {
  std::string command =
      "MTOOLSRC=/dev/null mtype -i " + spec + " '::/" + path + "'";
  std::string bytes;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    size_t count;
    while ((count = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
      bytes.append(buffer, count);
    }
    pclose(pipe);
  }
  return bytes;
}

// The journal's map, read from its qcow2 tables, names what QEMU's own
// map does: its data clusters where it stores them, its zero clusters as
// zeros, and nothing it leaves to its backing file.
TEST(DiskImage, MapsAJournalAsQemuDoes) {
  ScratchDrive drive;
  std::string base = drive.root + "/base.raw";
  std::string top = drive.root + "/top.qcow2";
  ASSERT_TRUE(Shell("qemu-img create -q -f raw " + base + " 4M && " +
                    "qemu-img create -q -f qcow2 -b " + base + " -F raw " +
                    top + " && qemu-io -f qcow2 -c 'write -P 0xab 0 4k' " +
                    "-c 'write -z 1M 128k' -c 'write -P 0xcd 3M 64k' " +
                    "-c 'write -P 0xce 3200k 64k' " + top + " >/dev/null"));
  std::vector<StoredExtent> extents;
  ASSERT_TRUE(MapOwnExtents(top, &extents));
  const int64_t kZeros = -1, kData = 0;
  const struct {
    uint64_t offset, length;
    int64_t kind;
    char first;
  } expected[] = {{0, 65536, kData, '\xab'},
                  {1048576, 131072, kZeros, 0},
                  {3145728, 65536, kData, '\xcd'},
                  {3276800, 65536, kData, '\xce'}};
  ASSERT_EQ(extents.size(), std::size(expected));
  std::string bytes = ReadFile(top);
  for (size_t i = 0; i < extents.size(); ++i) {
    EXPECT_EQ(extents[i].offset, expected[i].offset) << i;
    EXPECT_EQ(extents[i].length, expected[i].length) << i;
    EXPECT_EQ(extents[i].stored_at < 0, expected[i].kind == kZeros) << i;
    if (extents[i].stored_at >= 0) {
      EXPECT_EQ(bytes.at(static_cast<size_t>(extents[i].stored_at)),
                expected[i].first)
          << i;
    }
  }
}

TEST(DiskImage, WritesTheShortNamesTheVolumeStores) {
  // "Windows 95", made after "Windows 98", holds WINDOW~2, which no rule
  // applied to the folder's names alone would give.
  ScratchDrive drive;
  drive.Write("MSDOS.SYS", "[Paths]\r\nWinDir=C:\\Windows 95\r\n");
  drive.Write("KESTIV.INI", "[Card]\r\n");
  std::string image = drive.root + ".img";
  std::string spec = MakeImage(kOnFat16Disk, image, "");
  ASSERT_TRUE(Shell("mmd -i " + spec +
                    " '::/Windows 98' '::/Windows 95' '::/Windows 95/System'"));
  ASSERT_TRUE(Shell("mcopy -i " + spec + " " + drive.root + "/MSDOS.SYS " +
                    drive.root + "/KESTIV.INI '::/Windows 95/System'"));
  ASSERT_TRUE(Shell("mmove -i " + spec +
                    " '::/Windows 95/System/MSDOS.SYS' ::/MSDOS.SYS"));
  HostChooseDriveC(image.c_str());
  RunSetup();
  // The changes reach the image when drive C is let go.
  EXPECT_EQ(HostReleaseDriveC(), 0);
  EXPECT_EQ(ReadFromImage(spec, "Windows 95/dosstart.bat"),
            "C:\\WINDOW~2\\SYSTEM\\quorvel.exe /N\r\n");
  EXPECT_EQ(ReadFromImage(spec, "Windows 95/System/KESTIV.INI"),
            "[Card]\r\nwinpath95=C:\\WINDOW~2\r\nLanguage=0\r\n");
  fs::remove(image);
}

// A process holding an image as an emulator does, from when it has the
// image open (and locked, if `locks`) until it is stopped.
struct Holder {
  pid_t pid = -1;
  Holder(std::string command, const std::string& image, bool locks) {
    command.replace(command.find("IMG"), 3, image);
    pid = fork();
    if (pid == 0) {
      execl("/bin/sh", "sh", "-c",
            ("exec " + command + " >/dev/null 2>&1").c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int tries = 0; tries < 2000 && !Holds(image, locks); ++tries) {
      usleep(10000);
    }
    EXPECT_TRUE(Holds(image, locks)) << "the holder never took " << image;
  }
  ~Holder() { Stop(); }
  Holder(const Holder&) = delete;
  Holder& operator=(const Holder&) = delete;
  void Stop() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    pid = -1;
  }
  bool Holds(const std::string& image, bool locks) const {
    bool open = false;
    std::error_code error;
    fs::path fds = "/proc/" + std::to_string(pid) + "/fd";
    for (const auto& fd : fs::directory_iterator(fds, error)) {
      open = open || fs::equivalent(fd.path(), image, error);
    }
    if (!open || !locks) return open;
    int fd = ::open(image.c_str(), O_RDONLY | O_CLOEXEC);
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    bool locked = fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
    close(fd);
    return locked;
  }
};

// The whole run as user nobody, in a mount namespace of its own where
// /dev/fuse is closed to that user, as on machines that keep FUSE for
// root. Returns the exit status.
int RunAsUserWithoutFuse(const std::string& image) {
  std::string closed = image + ".fuse";
  std::ofstream(closed).close();
  pid_t child = fork();
  if (child == 0) {
    const uid_t kNobody = 65534;
    bool ok =
        chmod(closed.c_str(), 0600) == 0 &&
        chown(image.c_str(), kNobody, kNobody) == 0 &&
        unshare(CLONE_NEWNS) == 0 &&
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
        mount(closed.c_str(), "/dev/fuse", nullptr, MS_BIND, nullptr) == 0 &&
        setgroups(0, nullptr) == 0 && setgid(kNobody) == 0 &&
        setuid(kNobody) == 0;
    if (!ok) _exit(100);
    HostChooseDriveC(image.c_str());
    RunSetup();
    _exit(HostReleaseDriveC());
  }
  int status = 0;
  waitpid(child, &status, 0);
  fs::remove(closed);
  EXPECT_NE(WEXITSTATUS(status), 100) << "could not become nobody without FUSE";
  return WEXITSTATUS(status);
}

TEST(DiskImage, LeavesAnImageItCannotUseAsItWas) {
  ScratchDrive drive;
  drive.LayOutWindows();
  drive.Write("AUTOEXEC.BAT", "@ECHO OFF\r\n");
  std::string image = drive.root + ".img";
  const char* const kQemu =
      "qemu-system-i386 -S -display none -nodefaults -drive if=ide,file=IMG,";
  struct Case {
    const char* name;
    void (*make)(const std::string& image, const std::string& tree);
    // An image in use: what holds it, and whether it locks it. Once it is
    // gone, the next run goes ahead.
    std::string holder;
    int status;  // the host program's exit status
    bool locks;
    // Run as an ordinary user to whom /dev/fuse is closed: a qcow2 image
    // cannot be used then, but a raw one is changed directly.
    bool without_fuse = false;
    const char* held = "";  // what the holder holds: the image and this
  } cases[] = {
      {"random bytes",
       [](const std::string& image, const std::string&) {
         std::string bytes(size_t{64} * 1024, '\0');
         unsigned state = 1;
         for (char& c : bytes) c = static_cast<char>((state *= 69069) >> 24);
         std::ofstream(image, std::ios::binary) << bytes;
       },
       "", 65, false},
      {"a truncated image",
       [](const std::string& image, const std::string& tree) {
         MakeImage(kOnFat16Disk, image, tree);
         fs::resize_file(image, 4 << 20);
       },
       "", 65, false},
      {"a partition table with no FAT partition",
       [](const std::string& image, const std::string& tree) {
         MakeImage(kOnFat16Disk, image, tree);
         std::fstream file(image,
                           std::ios::binary | std::ios::in | std::ios::out);
         file.seekp(446 + 4);
         file.put(static_cast<char>(0x83));  // Linux
       },
       "", 65, false},
      {"a raw image a paused QEMU holds",
       [](const std::string& image, const std::string& tree) {
         MakeImage(kOnFat16Disk, image, tree);
       },
       std::string(kQemu) + "format=raw", 75, true},
      {"a qcow2 image a paused QEMU holds",
       [](const std::string& image, const std::string& tree) {
         MakeImage(kOnFat16Qcow2, image, tree);
       },
       std::string(kQemu) + "format=qcow2", 75, true},
      {"an image another process has open for writing, unlocked",
       [](const std::string& image, const std::string& tree) {
         MakeImage(kOnFat16Disk, image, tree);
       },
       "sleep 600 3<>IMG", 75, false},
      {"a differencing VHD whose parent another process has open for "
       "writing",
       [](const std::string& image, const std::string& tree) {
         MakeImage(kOnFat16VhdChild, image, tree);
       },
       "sleep 600 3<>IMG", 75, false, false, ".parent.vhd"},
      {"a qcow2 image, with FUSE closed to the user",
       [](const std::string& image, const std::string& tree) {
         MakeImage(kOnFat16Qcow2, image, tree);
       },
       "", 69, false, true},
      {"a raw image, with FUSE closed to the user",
       [](const std::string& image, const std::string& tree) {
         MakeImage(kOnFat16Disk, image, tree);
       },
       "", 0, false, true},
  };
  ASSERT_EQ(geteuid(), 0u) << "runs as another user only as root";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.make(image, drive.root);
    std::string before = ReadFile(image);
    std::unique_ptr<Holder> holder;
    if (!c.holder.empty()) {
      holder.reset(new Holder(c.holder, image + c.held, c.locks));
    }
    if (c.without_fuse) {
      EXPECT_EQ(RunAsUserWithoutFuse(image), c.status);
      EXPECT_EQ(ReadFile(image) == before, c.status != 0);
      continue;
    }
    HostChooseDriveC(image.c_str());
    RunSetup();
    EXPECT_EQ(HostReleaseDriveC(), c.status);
    EXPECT_EQ(ReadFile(image), before);
    if (holder) {
      holder->Stop();
      HostChooseDriveC(image.c_str());
      RunSetup();
      EXPECT_EQ(HostReleaseDriveC(), 0);
      EXPECT_NE(ReadFile(image), before) << "no run once the holder is gone";
    }
  }
  HostReleaseDriveC();
  fs::remove(image);
}

// Images that name other files, as made by anybody: a drive C is planted
// in "their" disk in another folder, so that a run that followed a name
// there would really change it. Refused images keep every byte, and so do
// the files they name and both folders; those that must keep working are
// changed, never their disk.
TEST(DiskImage, FollowsOnlyTheNamesItMay) {
  ScratchDrive drive;
  drive.LayOutWindows();
  drive.Write("AUTOEXEC.BAT", "@ECHO OFF\r\n");
  const std::string mine = drive.root + ".img";  // removed with the drive
  const std::string theirs = mine + "/someone-else/their-disk.img";
  const std::string kOffset = "@@1048576";
  auto qemu_img = [](const std::string& arguments) {
    EXPECT_TRUE(Shell("qemu-img " + arguments)) << arguments;
  };
  // qemu-img create makes the data file it names, relative to where it
  // runs: there, a scratch file stands in for it.
  auto with_data_file = [&](const std::string& arguments) {
    std::string scratch = mine + "/scratch";
    fs::create_directories(scratch + "/here");
    fs::create_directories(scratch + "/someone-else");
    EXPECT_TRUE(Shell("cd " + scratch + "/here && qemu-img " + arguments));
    fs::remove_all(scratch);
  };
  // A fresh FAT16 disk of drive C in `format` at `image` (qemu-img's -o).
  auto fresh = [&](const std::string& image, const std::string& options) {
    MakeImage(kOnFat16Disk, mine + "/c.raw", drive.root);
    qemu_img("convert -O " + options + " " + mine + "/c.raw " + image);
    fs::remove(mine + "/c.raw");
  };
  auto descriptor = [](const std::string& image, const std::string& extent,
                       const std::string& parent_cid = "ffffffff") {
    std::ofstream(image) << "# Disk DescriptorFile\nversion=1\nCID=fffffffe\n"
                            "parentCID="
                         << parent_cid
                         << "\ncreateType=\"monolithicFlat\"\n"
                            "RW 32768 FLAT \""
                         << extent << "\" 0\nddb.adapterType = \"ide\"\n";
  };
  // A differencing VHD at `image` over a dynamic VHD of their disk at
  // `parent`, holding nothing of its own.
  auto vhd_child = [&](const std::string& image, const std::string& parent) {
    qemu_img("convert -O vpc " + theirs + " " + parent);
    std::string name = fs::path(parent).filename().string();
    WriteVhdChild(parent, image, theirs, theirs, {".\\" + name, "", "", name});
  };
  // Sets the bits of `mask` in the little-endian number of `size` bytes at
  // `at` of file `image`.
  auto set_bits = [](const std::string& image, std::streamoff at, int size,
                     uint32_t mask) {
    std::fstream file(image, std::ios::binary | std::ios::in | std::ios::out);
    for (int i = 0; i < size; ++i) {
      file.seekg(at + i);
      int byte = file.get();
      file.seekp(at + i);
      file.put(static_cast<char>(byte | (mask >> (8 * i) & 0xFF)));
    }
  };
  struct Row {
    const char* name;
    std::string image;  // in `mine`
    std::function<void(const std::string&)> make;
    int status;
  } rows[] = {
      {"qcow2 whose data file is theirs", "win95.qcow2",
       [&](const std::string& image) {
         with_data_file(
             "create -q -f qcow2 -o data_file=../someone-else/"
             "their-disk.img,data_file_raw=on " +
             image + " 16M");
       },
       65},
      {"flat VMDK whose extent is their absolute path", "win95.vmdk",
       [&](const std::string& image) { descriptor(image, theirs); }, 65},
      {"flat VMDK whose extent is ../someone-else", "win95.vmdk",
       [&](const std::string& image) {
         descriptor(image, "../someone-else/their-disk.img");
       },
       65},
      {"flat VMDK whose extent is a link beside it to theirs", "win95.vmdk",
       [&](const std::string& image) {
         fs::create_symlink(theirs, mine + "/win95-flat.vmdk");
         descriptor(image, "win95-flat.vmdk");
       },
       65},
      {"sparse VMDK whose embedded descriptor names theirs", "win95.vmdk",
       [&](const std::string& image) {
         fresh(image, "vmdk");
         // No capacity of its own: QEMU then opens the extents it names.
         std::fstream file(image,
                           std::ios::binary | std::ios::in | std::ios::out);
         file.seekp(12);
         file.write(std::string(8, '\0').data(), 8);
         std::string text =
             "# Disk DescriptorFile\nversion=1\nCID=fffffffe\n"
             "parentCID=ffffffff\ncreateType=\"monolithicFlat\"\n"
             "RW 32768 FLAT \"" +
             theirs + "\" 0\n";
         text.resize(size_t{20} * 512, '\0');
         file.seekp(512);
         file.write(text.data(), static_cast<std::streamsize>(text.size()));
       },
       65},
      {"qcow2 whose backing file is json: options", "win95.qcow2",
       [&](const std::string& image) {
         qemu_img(
             "create -q -f qcow2 -u -b 'json:{\"driver\":\"raw\",\"file\":"
             "{\"driver\":\"file\",\"filename\":\"" +
             theirs + "\"}}' -F raw " + image + " 16M");
       },
       65},
      {"qcow2 that ends as a fixed VHD does, with json: options for its "
       "backing file",
       "win95.qcow2",
       [&](const std::string& image) {
         qemu_img(
             "create -q -f qcow2 -u -b 'json:{\"driver\":\"raw\",\"file\":"
             "{\"driver\":\"file\",\"filename\":\"" +
             theirs + "\"}}' -F raw " + image + " 16M");
         std::string footer(512, '\0');
         footer.replace(0, 8, "conectix");
         footer[63] = 2;  // a fixed disk
         std::ofstream(image, std::ios::binary | std::ios::app) << footer;
       },
       65},
      {"qcow2 whose backing file is a FIFO", "win95.qcow2",
       [&](const std::string& image) {
         mkfifo((mine + "/fifo").c_str(), 0600);
         qemu_img("create -q -f qcow2 -u -b fifo -F raw " + image + " 16M");
       },
       65},
      {"qcow2 backing chain that loops", "a.qcow2",
       [&](const std::string& image) {
         qemu_img("create -q -f qcow2 -u -b b.qcow2 -F qcow2 " + image +
                  " 16M");
         qemu_img("create -q -f qcow2 -u -b a.qcow2 -F qcow2 " + mine +
                  "/b.qcow2 16M");
       },
       65},
      {"VMDK delta that names its parent by content id alone", "win95.vmdk",
       [&](const std::string& image) {
         MakeImage(kOnFat16Disk, mine + "/win95-flat.vmdk", drive.root);
         descriptor(image, "win95-flat.vmdk", "12345678");
       },
       65},
      {"differencing VHD whose parent is missing", "win95.vhd",
       [&](const std::string& image) {
         vhd_child(image, mine + "/parent.vhd");
         fs::remove(mine + "/parent.vhd");
       },
       66},
      {"differencing VHD whose parent was replaced by another disk",
       "win95.vhd",
       [&](const std::string& image) {
         vhd_child(image, mine + "/parent.vhd");
         qemu_img("convert -O vpc " + theirs + " " + mine + "/other.vhd");
         fs::rename(mine + "/other.vhd", mine + "/parent.vhd");
       },
       65},
      {"qcow2 whose backing file is a differencing VHD", "win95.qcow2",
       [&](const std::string& image) {
         vhd_child(mine + "/child.vhd", mine + "/parent.vhd");
         qemu_img("create -q -f qcow2 -u -b child.vhd -F vpc " + image +
                  " 16M");
       },
       65},
      {"differencing VDI, a VirtualBox snapshot, whose parent is nowhere",
       "win95.vdi",
       [&](const std::string& image) {
         fresh(image, "vdi");
         std::fstream file(image,
                           std::ios::binary | std::ios::in | std::ios::out);
         file.seekp(0x4C);
         file.put(4);  // from a normal image to a differencing one
         file.close();
         set_bits(image, 0x1A8, 4, 0x12345678);  // its parent's UUID
       },
       66},
      {"differencing VHDX", "win95.vhdx",
       [&](const std::string& image) {
         fresh(image, "vhdx");
         // The file parameters' "has parent" flag.
         std::string bytes = ReadFile(image);
         const std::string kParameters(
             "\x37\x67\xA1\xCA\x36\xFA\x43\x4D\xB3\xB6\x33\xF0\xAA\x44\xE7\x6B",
             16);
         size_t entry = bytes.find(kParameters);
         ASSERT_NE(entry, std::string::npos);
         size_t table = bytes.rfind("metadata", entry);
         uint32_t offset = 0;
         for (int i = 3; i >= 0; --i) {
           offset =
               offset << 8 | static_cast<unsigned char>(bytes[entry + 16 + i]);
         }
         set_bits(image, static_cast<std::streamoff>(table + offset + 4), 4, 2);
       },
       65},
      {"qcow2 whose backing file does not exist", "win95.qcow2",
       [&](const std::string& image) {
         qemu_img("create -q -f qcow2 -u -b none.img -F raw " + image + " 16M");
       },
       66},
      {"qcow2 overlay over their disk in another folder", "win95.qcow2",
       [&](const std::string& image) {
         qemu_img("create -q -f qcow2 -b " + theirs + " -F raw " + image);
       },
       0},
      {"qcow2 with its data file beside it", "win95.qcow2",
       [&](const std::string& image) {
         with_data_file(
             "create -q -f qcow2 -o data_file=win95.data,data_file_raw=on " +
             image + " 16M");
         MakeImage(kOnFat16Disk, mine + "/win95.data", drive.root);
       },
       0},
      {"VMDK split in 2 GB extents", "win95.vmdk",
       [&](const std::string& image) {
         fresh(image, "vmdk -o subformat=twoGbMaxExtentSparse");
       },
       0},
      {"flat VMDK with its -flat.vmdk beside it", "win95.vmdk",
       [&](const std::string& image) {
         fresh(image, "vmdk -o subformat=monolithicFlat");
       },
       0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    fs::remove_all(mine);
    fs::create_directories(mine + "/someone-else");
    MakeImage(kOnFat16Disk, theirs, drive.root);
    std::string image = mine + "/" + row.image;
    row.make(image);
    auto snapshot = [&] {
      std::map<std::string, std::string> files;
      for (const auto& entry : fs::recursive_directory_iterator(mine)) {
        if (entry.is_regular_file(error_code_ignored)) {
          files[entry.path().string()] = ReadFile(entry.path().string());
        }
      }
      return files;
    };
    auto before = snapshot();
    auto start = std::chrono::steady_clock::now();
    HostChooseDriveC(image.c_str());
    RunSetup();
    EXPECT_EQ(HostReleaseDriveC(), row.status);
    if (row.status != 0) {
      EXPECT_LT(std::chrono::steady_clock::now() - start,
                std::chrono::seconds(5));
      EXPECT_TRUE(snapshot() == before) << "a byte moved in either folder";
      continue;
    }
    EXPECT_EQ(ReadFile(theirs), before[theirs]) << "their disk changed";
    std::string changed = drive.root + ".volume";
    // From the image's folder, where QEMU finds a data file.
    std::string convert = "cd " + mine;
    convert += " && qemu-img convert -O raw " + image;
    convert += " " + changed;
    EXPECT_TRUE(Shell(convert));
    EXPECT_EQ(ReadFromImage(changed + kOffset, "AUTOEXEC.BAT"),
              "@ECHO OFF\r\nSET  BLASTER=A220 I5  D1 T4\r\n");
    fs::remove(changed);
  }
}

// Every file of the FAT volume of raw disk `raw` at `offset`, by path.
std::map<std::string, std::string> VolumeFiles(const std::string& raw,
                                               const std::string& offset) {
  std::string out = raw + ".files";
  fs::remove_all(out);
  fs::create_directory(out);
  EXPECT_TRUE(Shell("mcopy -s -n -i " + raw + offset + " '::/*' " + out));
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(out)) {
    if (entry.is_regular_file()) {
      files[fs::relative(entry.path(), out).string()] =
          ReadFile(entry.path().string());
    }
  }
  fs::remove_all(out);
  return files;
}

// 86Box's HDI and HDX disks as its "new disk" dialog makes them, a header
// before a raw disk: set up as that raw disk, file for file as a run on a
// raw copy leaves it, the header keeping every byte; one whose header does
// not hold together is refused with every byte kept.
TEST(DiskImage, Writes86BoxHdiAndHdxAsRawDisks) {
  ScratchDrive drive;
  CopySample(drive.root + "/tree");
  const std::string mine = drive.root + ".img";
  const std::string kOffset = "@@1048576";
  // The little-endian `value` of `size` bytes at `at` of `bytes`.
  auto put = [](std::string* bytes, size_t at, int size, uint64_t value) {
    for (int i = 0; i < size; ++i)
      (*bytes)[at + i] = static_cast<char>(value >> 8 * i);
  };
  // 16 MiB: 32 cylinders of 16 heads of 64 sectors, as 86Box writes them.
  auto hdi = [&](uint64_t sector_size) {
    std::string header(4096, '\0');
    put(&header, 0x8, 4, 4096);
    put(&header, 0xC, 4, 16 << 20);
    put(&header, 0x10, 4, sector_size);
    put(&header, 0x14, 4, 64);
    put(&header, 0x18, 4, 16);
    put(&header, 0x1C, 4, 32);
    header.replace(0x800, 9, "not disk!");  // kept, never read as the disk
    return header;
  };
  std::string hdx(40, '\0');
  put(&hdx, 0, 8, 0xD778A82044445459);
  put(&hdx, 0x8, 8, 16 << 20);
  put(&hdx, 0x10, 4, 512);
  put(&hdx, 0x14, 4, 64);
  put(&hdx, 0x18, 4, 16);
  put(&hdx, 0x1C, 4, 32);
  struct Row {
    const char* name;
    std::string file;
    std::string header;
    int status;
    std::string said;
  } rows[] = {
      {"an HDI", "c.hdi", hdi(512), 0, ""},
      {"an HDX", "c.HDX", hdx, 0, ""},
      {"an HDI of 256-byte sectors", "c.hdi", hdi(256), 65,
       "holds an 86Box disk header whose sizes do not hold together"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    fs::remove_all(mine);
    fs::create_directories(mine);
    std::string raw = mine + "/c.raw", image = mine + "/" + row.file;
    MakeImage(kOnFat16Disk, raw, drive.root + "/tree");
    std::ofstream(image, std::ios::binary) << row.header << ReadFile(raw);
    std::string before = ReadFile(image);
    Invocation run = Invoke({image});
    EXPECT_EQ(run.status, row.status) << run.err;
    if (row.status != 0) {
      EXPECT_NE(run.err.find(row.said), std::string::npos) << run.err;
      EXPECT_TRUE(ReadFile(image) == before) << "a byte moved";
      continue;
    }
    // The judge: the run on the raw disk.
    ASSERT_EQ(Invoke({raw}).status, 0);
    std::string after = ReadFile(image);
    EXPECT_TRUE(after.compare(0, row.header.size(), row.header) == 0)
        << "the header changed";
    EXPECT_EQ(after.size(), before.size());
    std::ofstream(mine + "/data.raw", std::ios::binary)
        << after.substr(row.header.size());
    EXPECT_TRUE(VolumeFiles(mine + "/data.raw", kOffset) ==
                VolumeFiles(raw, kOffset))
        << "the files differ from the raw run's";
    EXPECT_EQ(Invoke({"-n", image}).status, 0)
        << "a second run would change it";
  }
}

// Differencing VHDs as emulators leave them, each child holding what a
// session wrote, with partial sector bitmaps. After a run, the disk the
// chain composes (read by the tests' own reader) holds, file for file,
// what a run leaves on a raw copy of it taken before; every parent keeps
// every byte, nothing is left beside the child, and libvhdi still reads
// the chain, agreeing wherever the bitmaps' runs fall on whole bytes.
TEST(DiskImage, WritesDifferencingVhdsAsTheFormatSays) {
  ScratchDrive drive;
  CopySample(drive.root + "/tree");
  std::string user(3 << 20, '\0');
  for (size_t i = 0; i < user.size(); ++i) {
    user[i] = static_cast<char>(i * 7 + i / 4096);
  }
  std::ofstream(drive.root + "/USER.DAT", std::ios::binary) << user;
  const std::string mine = drive.root + ".img";
  const std::string kOffset = "@@1048576";
  struct Row {
    const char* name;
    const char* parent_format;  // qemu-img's -O and -o
    bool fresh;                 // the child holds nothing
    bool two_children;          // the user's file went into a second child
    bool absolute_only;         // the parent lies elsewhere
    uint32_t reserve = 0;       // the bytes each locator reserves
    uint32_t slack = 0;         // unused bytes before the footer
    bool stale_front = false;   // the footer's copy at the start is stale
  } rows[] = {
      {"a child over a dynamic parent", "vpc", false, false, false},
      {"a child over a fixed parent", "vpc -o subformat=fixed", false, false,
       false},
      {"a fresh child with nothing written", "vpc", true, false, false},
      {"a chain of two children, the second found by a file URL", "vpc", false,
       true, false},
      {"a parent found by its absolute locator alone", "vpc", false, false,
       true},
      {"a fresh child whose locators reserve 64 KiB each, as Windows's do",
       "vpc", true, false, false, 64 << 10},
      {"a child with unused space before its footer", "vpc", false, false,
       false, 0, 8 << 20},
      {"a child whose footer's copy at the start is stale", "vpc", false, false,
       false, 0, 0, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    fs::remove_all(mine);
    fs::create_directories(mine + "/elsewhere");
    std::string before = mine + "/before.raw";
    std::string after = mine + "/after.raw";
    MakeImage(kOnFat16Disk, before, row.fresh ? drive.root + "/tree" : "");
    fs::copy_file(before, after);
    if (!row.fresh) {
      std::string copy = "cd " + drive.root;
      copy += "/tree && mcopy -s -i ";
      copy += after;
      copy += kOffset;
      copy += " * ::/";
      ASSERT_TRUE(Shell(copy));
    }
    std::string folder = row.absolute_only ? mine + "/elsewhere" : mine;
    std::string parent = folder + "/parent.vhd";
    std::string convert =
        std::string("qemu-img convert -O ") + row.parent_format;
    convert += " ";
    convert += before;
    convert += " ";
    convert += parent;
    ASSERT_TRUE(Shell(convert));
    std::vector<std::string> chain = {mine + "/child.vhd", parent};
    VhdLocators locators = {".\\parent.vhd", "C:\\VMs\\parent.vhd", "",
                            "parent.vhd", row.reserve};
    if (row.absolute_only) locators = {"", parent, "", "gone.vhd"};
    if (row.two_children) {
      std::string middle = mine + "/session1.vhd";
      WriteVhdChild(parent, middle, before, after, locators);
      std::string later = after + ".2";
      fs::copy_file(after, later);
      std::string copy = "mcopy -i " + later;
      copy += kOffset;
      copy += " ";
      copy += drive.root;
      copy += "/USER.DAT ::/USER.DAT";
      ASSERT_TRUE(Shell(copy));
      WriteVhdChild(middle, chain[0], after, later,
                    {"", "", "file://" + middle, "session1.vhd"});
      chain.insert(chain.begin() + 1, middle);
      fs::rename(later, after);
    } else {
      WriteVhdChild(parent, chain[0], before, after, locators, row.slack);
    }
    if (row.stale_front) {
      std::fstream child(chain[0],
                         std::ios::binary | std::ios::in | std::ios::out);
      child.seekp(64);  // its checksum no longer holds
      child.put('\x5A');
    }
    fs::remove(before);
    // The judge: the run on a raw copy of the disk the chain composes.
    ASSERT_TRUE(ComposeVhdChain(chain, after));
    HostChooseDriveC(after.c_str());
    RunSetup();
    ASSERT_EQ(HostReleaseDriveC(), 0);
    auto expected = VolumeFiles(after, kOffset);
    fs::remove(after);
    std::map<std::string, std::string> parents;
    for (size_t i = 1; i < chain.size(); ++i) {
      parents[chain[i]] = ReadFile(chain[i]);
    }
    auto listing = [&] {
      std::set<std::string> names;
      for (const auto& entry : fs::recursive_directory_iterator(mine)) {
        names.insert(entry.path().string());
      }
      return names;
    };
    auto beside = listing();
    // The locators' space (past the table at 1536), and the child's
    // length, which never shrinks.
    std::string owned =
        ReadFile(chain[0]).substr(2048, size_t{2} * row.reserve);
    uintmax_t length = fs::file_size(chain[0]);

    HostChooseDriveC(chain[0].c_str());
    RunSetup();
    EXPECT_EQ(HostReleaseDriveC(), 0);
    EXPECT_TRUE(ReadFile(chain[0]).compare(2048, owned.size(), owned) == 0)
        << "a block went where a locator is";
    EXPECT_GE(fs::file_size(chain[0]), length);

    EXPECT_TRUE(listing() == beside) << "a file came or went beside it";
    for (const auto& [path, bytes] : parents) {
      EXPECT_TRUE(ReadFile(path) == bytes) << path << " changed";
    }
    std::string composed = mine + "/composed.raw";
    ASSERT_TRUE(ComposeVhdChain(chain, composed));
    EXPECT_TRUE(VolumeFiles(composed, kOffset) == expected)
        << "the files differ from the raw run's";
    EXPECT_TRUE(ReadImage(kOnFat16Disk, composed, composed + kOffset, {}).sound)
        << "the composed volume is not sound";
    // libvhdi reads the chain; where no bitmap byte is partial, it reads
    // what the tests' reader does.
    std::string read_by_libvhdi = mine + "/libvhdi.raw";
    std::string command =
        "/usr/bin/python3 -c 'import pyvhdi, sys\n"
        "files = []\n"
        "for name in sys.argv[2:]:\n"
        "  f = pyvhdi.file(); f.open(name); files.append(f)\n"
        "for child, parent in zip(files, files[1:]): child.set_parent(parent)\n"
        "size = files[0].get_media_size()\n"
        "with open(sys.argv[1], \"wb\") as out:\n"
        "  for at in range(0, size, 1 << 20):\n"
        "    out.write(files[0].read_buffer_at_offset(min(1 << 20, size - "
        "at), at))\n' " +
        read_by_libvhdi;
    for (const std::string& path : chain) command += " " + path;
    ASSERT_TRUE(Shell(command)) << "libvhdi cannot read the chain";
    std::string ours = ReadFile(composed);
    std::string theirs = ReadFile(read_by_libvhdi);
    ASSERT_EQ(ours.size(), theirs.size());
    std::vector<bool> whole = WholeBitmapBytes(chain);
    size_t disagree = 0;
    for (size_t s = 0; s < whole.size(); ++s) {
      if (whole[s] && ours.compare(s * 512, 512, theirs, s * 512, 512) != 0) {
        ++disagree;
      }
    }
    EXPECT_EQ(disagree, 0u) << "sectors libvhdi reads otherwise";
  }
}

// Disks others are built on, as emulators lay them out: a run and a dry
// run on the base say 65 and name the child, every byte of both kept; a
// run on the child works. Strangers' files beside an unrelated image (a
// link out, a FIFO, a 0-byte redolog, a truncated header, another disk's
// child, many images) neither stop its run nor are opened, unless regular.
TEST(DiskImage, LeavesADiskOthersAreBuiltOnAlone) {
  ScratchDrive drive;
  std::string sample = drive.root + "/sample";
  CopySample(sample);
  const std::string mine = drive.root + ".img";
  const std::string outside = drive.root + ".outside";
  auto qemu_img = [](const std::string& arguments) {
    EXPECT_TRUE(Shell("qemu-img " + arguments)) << arguments;
  };
  // A header of Bochs' redolog of `subtype` for a disk of `size` bytes,
  // stamped with the time of `base`, as Bochs stamps it, where that is
  // given.
  auto redolog = [](const std::string& path, const std::string& subtype,
                    uint64_t size, const std::string& base = "") {
    std::string header(512, '\0');
    header.replace(0, 22, "Bochs Virtual HD Image");
    header.replace(32, 7, "Redolog");
    header.replace(48, subtype.size(), subtype);
    struct stat st = {};
    struct tm t = {};
    if (!base.empty() && stat(base.c_str(), &st) == 0) {
      localtime_r(&st.st_mtime, &t);
    }
    auto field = [](int value) { return static_cast<uint32_t>(value); };
    uint32_t stamp = base.empty()
                         ? 0
                         : (field(t.tm_sec / 2) | field(t.tm_min) << 5 |
                            field(t.tm_hour) << 11) |
                               (field(t.tm_mday) | field(t.tm_mon + 1) << 5 |
                                field(t.tm_year - 80) << 9)
                                   << 16;
    uint32_t fields[] = {0x00020000, 512, 512, 8, 128 * 1024, stamp};
    for (int i = 0; i < 6; ++i) {
      for (int b = 0; b < 4; ++b) {
        header[64 + 4 * i + b] = static_cast<char>(fields[i] >> (8 * b));
      }
    }
    for (int b = 0; b < 8; ++b)
      header[88 + b] = static_cast<char>(size >> (8 * b));
    std::ofstream(path, std::ios::binary)
        << header << std::string(2048, '\xFF');
  };
  // An empty Bochs sparse layer at `child` over the sparse disk `base`.
  auto sparse_child = [](const std::string& base, const std::string& child) {
    std::string layer = ReadFile(base).substr(0, 256);
    uint32_t page = 0, pages = 0;
    for (int i = 3; i >= 0; --i) {
      page = page << 8 | static_cast<unsigned char>(layer[8 + i]);
      pages = pages << 8 | static_cast<unsigned char>(layer[12 + i]);
    }
    layer += std::string(size_t{4} * pages, '\xFF');
    layer.resize((layer.size() + page - 1) / page * page, '\0');
    std::ofstream(child, std::ios::binary) << layer;
  };
  struct Row {
    const char* name;
    std::function<void()> make;  // in `mine`, the base being base.*
    std::string base;
    std::string child;  // "" where no child may be found
    std::string said;   // what the line must hold
    bool child_runs = false;
    bool sparse_base = false;  // the base a Bochs sparse disk
  } rows[] = {
      {"a qcow2 overlay",
       [&] {
         qemu_img("create -q -f qcow2 -b base.qcow2 -F qcow2 " + mine +
                  "/game1.qcow2");
       },
       "base.qcow2", "game1.qcow2", "name game1.qcow2 instead", true},
      {"a qcow2 overlay of 512-byte clusters, beside another of none",
       [&] {
         qemu_img("create -q -f qcow2 -o cluster_size=512 -b " + mine +
                  "/base.qcow2 -F qcow2 " + mine + "/game2.qcow2");
         qemu_img("create -q -f qcow2 " + mine + "/other.qcow2 16M");
       },
       "base.qcow2", "game2.qcow2", "name game2.qcow2 instead", true},
      {"a differencing VHD",
       [&] {
         WriteVhdChild(mine + "/base.vhd", mine + "/game1.vhd",
                       mine + "/base.raw", mine + "/base.raw",
                       {".\\base.vhd", "", "", "base.vhd"});
       },
       "base.vhd", "game1.vhd", "name game1.vhd instead", true},
      {"a VirtualBox snapshot in Snapshots/",
       [&] {
         fs::create_directories(mine + "/Snapshots");
         std::string child = mine + "/Snapshots/{0f0e}.vdi";
         fs::copy_file(mine + "/base.vdi", child);
         std::string base = ReadFile(mine + "/base.vdi");
         std::string bytes = ReadFile(child);
         bytes.replace(0x1A8, 16, base, 0x188, 16);  // its parent's UUID
         bytes[0x188] = static_cast<char>(bytes[0x188] ^ 1);  // its own
         std::ofstream(child, std::ios::binary) << bytes;
       },
       "base.vdi", "Snapshots/{0f0e}.vdi", "name Snapshots/{0f0e}.vdi instead"},
      {"a snapshot elsewhere that the machine's .vbox registers",
       [&] {
         fs::create_directories(outside);
         fs::copy_file(mine + "/base.vdi", outside + "/snap.vdi");
         std::ofstream(mine + "/Win95.vbox")
             << "<?xml version=\"1.0\"?>\n<VirtualBox><Machine name=\"w\">"
                "<MediaRegistry><HardDisks><HardDisk uuid=\"{1}\" "
                "location=\"base.vdi\" format=\"VDI\"><HardDisk uuid=\"{2}\" "
                "location=\""
             << outside
             << "/snap.vdi\" format=\"VDI\"/></HardDisk></HardDisks>"
                "</MediaRegistry></Machine></VirtualBox>\n";
       },
       "base.vdi", outside + "/snap.vdi", "a VirtualBox snapshot"},
      {"a VMDK delta that names it as its parent",
       [&] {
         std::ofstream(mine + "/game1.vmdk")
             << "# Disk DescriptorFile\nversion=1\nCID=fffffffe\n"
                "parentCID=12345678\ncreateType=\"monolithicSparse\"\n"
                "parentFileNameHint=\"base.vmdk\"\n"
                "RW 32768 SPARSE \"game1-s.vmdk\"\n";
       },
       "base.vmdk", "game1.vmdk", "name game1.vmdk instead"},
      {"Bochs' undoable redolog",
       [&] { redolog(mine + "/base.img.redolog", "Undoable", 16 << 20); },
       "base.img", "base.img.redolog",
       "commit it into this disk with bximage -func=commit first"},
      {"Bochs sparse layers named c.img.10 and c.img.11",
       [&] { sparse_child(mine + "/c.img.10", mine + "/c.img.11"); },
       "c.img.10", "c.img.11", "a Bochs sparse layer", true, true},
      {"Bochs sparse layers named c0 and c1, no dot",
       [&] { sparse_child(mine + "/c0", mine + "/c1"); }, "c0", "c1",
       "a Bochs sparse layer", true, true},
      {"the Common Base of Bochs' guide: www.img.0 a link to the base",
       [&] {
         fs::create_symlink(mine + "/base.img", mine + "/www.img.0");
         sparse_child(mine + "/base.img", mine + "/www.img.1");
       },
       "base.img", "www.img.1", "a Bochs sparse layer", true, true},
      {"an undoable redolog a bochsrc names by journal=",
       [&] {
         redolog(mine + "/my.log", "Undoable",
                 fs::file_size(mine + "/base.img"), mine + "/base.img");
       },
       "base.img", "my.log",
       "commit it into this disk with bximage -func=commit first"},
      {"an undoable redolog named by journal=, over a sparse layer over "
       "c.img.0",
       [&] {
         sparse_child(mine + "/c.img.1", mine + "/c.img.0");
         redolog(mine + "/my.log", "Undoable", 16 << 20, mine + "/c.img.1");
       },
       "c.img.1", "my.log",
       "commit it into this disk with bximage -func=commit first", false, true},
      {"Bochs' lock beside the disk",
       [&] { std::ofstream(mine + "/base.img.lock") << "1"; }, "base.img", "",
       "in use by Bochs"},
      {"strangers' files beside an unrelated image",
       [&] {
         fs::create_directories(outside);
         std::ofstream(outside + "/theirs.qcow2") << "";
         fs::create_symlink(outside + "/theirs.qcow2", mine + "/link.qcow2");
         mkfifo((mine + "/fifo.vhd").c_str(), 0600);
         std::ofstream(mine + "/x.redolog") << "";
         std::ofstream(mine + "/cut.qcow2") << "QFI\xfb";
         redolog(mine + "/base.img.redolog", "Growing", 16 << 20);
         qemu_img("convert -O vpc " + mine + "/base.raw " + mine +
                  "/someone.vhd");
         WriteVhdChild(mine + "/someone.vhd", mine + "/theirs.vhd",
                       mine + "/base.raw", mine + "/base.raw",
                       {".\\someone.vhd", "", "", "someone.vhd"});
         qemu_img("create -q -f qcow2 " + mine + "/small.qcow2 16M");
         for (int i = 0; i < 300; ++i) {
           fs::copy_file(mine + (i % 2 ? "/small.qcow2" : "/theirs.vhd"),
                         mine + "/many" + std::to_string(i) +
                             (i % 2 ? ".qcow2" : ".vhd"));
         }
       },
       "base.img", "", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    fs::remove_all(mine);
    fs::remove_all(outside);
    fs::create_directories(mine);
    std::string raw = mine + "/base.raw";
    MakeImage(kOnFat16Disk, raw, sample);
    std::string format = row.base.substr(row.base.rfind('.') + 1);
    std::string base = mine + "/" + row.base;
    if (row.sparse_base) {
      std::string convert = "bximage -func=convert -imgmode=sparse -q ";
      convert.append(raw).append(" ").append(base).append(" >/dev/null");
      ASSERT_TRUE(Shell(convert));
    } else if (format == "img") {
      fs::copy_file(raw, base);
    } else {
      std::string convert = "convert -O ";
      convert.append(format == "vhd" ? "vpc" : format).append(" ");
      qemu_img(convert.append(raw).append(" ").append(base));
    }
    row.make();
    // Nothing but regular files may be opened: a FIFO, or a file a link
    // outside leads to, would show it.
    int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    for (const std::string& watched :
         {mine + "/fifo.vhd", outside + "/theirs.qcow2"}) {
      if (fs::exists(fs::symlink_status(watched))) {
        inotify_add_watch(watch, watched.c_str(), IN_OPEN | IN_ACCESS);
      }
    }
    auto snapshot = [&] {
      std::map<std::string, std::string> files;
      for (const auto& entry : fs::recursive_directory_iterator(mine)) {
        if (entry.is_regular_file(error_code_ignored) &&
            !entry.is_symlink(error_code_ignored)) {
          files[entry.path().string()] = ReadFile(entry.path().string());
        }
      }
      return files;
    };
    auto before = snapshot();
    int expected = row.child.empty() ? (row.said.empty() ? 0 : 75) : 65;
    for (bool dry : {true, false}) {
      Invocation run = Invoke(dry ? std::vector<std::string>{"-n", base}
                                  : std::vector<std::string>{base});
      EXPECT_EQ(run.status, expected == 0 && dry ? 1 : expected) << run.err;
      if (expected == 0) continue;
      EXPECT_NE(run.err.find(row.said), std::string::npos) << run.err;
      if (!row.child.empty()) {
        EXPECT_NE(run.err.find(": " + row.child), std::string::npos);
        EXPECT_NE(run.err.find("is built on this disk"), std::string::npos);
      }
      EXPECT_TRUE(snapshot() == before) << "a byte moved";
    }
    char events[4096];
    EXPECT_LE(read(watch, events, sizeof events), 0)
        << "a file not regular was opened";
    close(watch);
    if (row.child_runs) {
      EXPECT_EQ(Invoke({mine + "/" + row.child}).status, 0) << "the child";
    }
  }
  fs::remove_all(outside);
}

// A VirtualBox machine folder as VirtualBox makes one: Win95.vbox,
// Win95.vdi and two snapshots deep in Snapshots/, the first session having
// deleted a large file and zeroed one of its blocks (a zero block). Set up
// by naming the machine file or the current snapshot, the composed chain
// holds, file for file, what a run on a raw copy leaves; fsck.fat finds it
// sound; the base and the middle snapshot keep every byte (qemu-img reads
// the base as the tests' reader does); and the base itself is refused,
// naming the snapshot. A parent missing, another disk in a parent's place,
// a saved machine (named by its machine file or its current snapshot) and
// a registry its headers disagree with are refused with every byte kept;
// snapshots the registry keeps in a folder elsewhere are found there. A
// base QEMU reads otherwise (extra bytes before each block's data, blocks
// other than 1 MiB) is read as VirtualBox reads it; a current snapshot
// larger than its base costs nothing for the difference (no file of the
// run may grow past 64 MiB).
TEST(DiskImage, WritesVirtualBoxSnapshotsAsVirtualBoxDoes) {
  ScratchDrive drive;
  std::string sample = drive.root + "/sample";
  CopySample(sample);
  const std::string machine = drive.root + ".img";
  const std::string elsewhere = drive.root + ".elsewhere";
  const std::string kOffset = "@@1048576";
  const std::string a = "Snapshots/{aaaa}.vdi", b = "Snapshots/{bbbb}.vdi";
  // Replaces `from` with `to` in the machine file.
  auto edit = [&](const std::string& from, const std::string& to) {
    std::string text = ReadFile(machine + "/Win95.vbox");
    for (size_t at; (at = text.find(from)) != std::string::npos;) {
      text.replace(at, from.size(), to);
    }
    std::ofstream(machine + "/Win95.vbox") << text;
  };
  // The second snapshot's header links to the base instead of the first.
  auto relink = [&] {
    std::fstream file(machine + "/" + b,
                      std::ios::binary | std::ios::in | std::ios::out);
    file.seekp(0x1A8);
    file << ReadFile(machine + "/Win95.vdi").substr(0x188, 16);
  };
  struct Row {
    const char* name;
    std::string named;            // what is named, in the machine's folder
    std::function<void()> spoil;  // makes it fail, if it must
    int status;
    std::string said;
    const std::string* snapshots = nullptr;  // a folder elsewhere for them
    VdiLayout base = VdiLayout();            // the base's blocks
    uint64_t top_size = 0;  // the current snapshot's disk, if larger
  } rows[] = {
      {"named by its machine file", "Win95.vbox", nullptr, 0, ""},
      {"named by its current snapshot", b, nullptr, 0, ""},
      {"the base", "Win95.vdi", nullptr, 65,
       a + ", a VirtualBox snapshot, is built on this disk"},
      {"a parent missing", b, [&] { fs::remove(machine + "/" + a); }, 66,
       "does not exist"},
      {"another disk in a parent's place", b,
       [&] {
         fs::remove(machine + "/" + a);
         Shell("qemu-img create -q -f vdi " + machine + "/" + a + " 16M");
       },
       65, "its UUID differs"},
      {"a saved machine", "Win95.vbox",
       [&] {
         WriteVbox(machine + "/Win95.vbox", "Win95", {"Win95.vdi", a, b}, true);
       },
       75, "in use by a saved VirtualBox machine"},
      {"a saved machine's current snapshot", b,
       [&] {
         WriteVbox(machine + "/Win95.vbox", "Win95", {"Win95.vdi", a, b}, true);
       },
       75, "in use by a saved VirtualBox machine"},
      {"a registry that gives drive C another UUID", "Win95.vbox",
       [&] {
         edit(VdiUuid(machine + "/" + b),
              "{0bad0bad-0000-4000-8000-000000000000}");
       },
       65, "but its header says"},
      {"a snapshot whose header links to the base, named by its machine file",
       "Win95.vbox", relink, 65, "but its header links to"},
      {"a snapshot whose header links to the base, named", b, relink, 65,
       "is not the parent the image names"},
      {"snapshots in a folder elsewhere", "Win95.vbox", nullptr, 0, "",
       &elsewhere},
      {"a base whose blocks carry 4 KiB of extra bytes",
       "Win95.vbox",
       nullptr,
       0,
       "",
       nullptr,
       {0, 1 << 20, 4096, true}},
      {"a base of 2 MiB blocks",
       "Win95.vbox",
       nullptr,
       0,
       "",
       nullptr,
       {0, 2 << 20, 0, true}},
      {"a current snapshot 4 GiB larger than its base",
       b,
       nullptr,
       0,
       "",
       nullptr,
       {},
       uint64_t{4} << 30},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    fs::remove_all(machine);
    fs::remove_all(elsewhere);
    fs::create_directories(machine + "/Snapshots");
    fs::create_directories(elsewhere);
    // Three sessions' disks, raw: the tree and a large file; the file
    // deleted, one of its blocks zeroed and a file added; one more file.
    std::string raw[3];
    for (int i = 0; i < 3; ++i)
      raw[i] = machine + "/session" + std::to_string(i);
    std::ofstream(sample + "/BIG.DAT") << std::string(3 << 20, 'Z');
    MakeImage(kOnFat16Disk, raw[0], sample);
    fs::remove(sample + "/BIG.DAT");
    fs::copy_file(raw[0], raw[1]);
    ASSERT_TRUE(Shell("mdel -i " + raw[1] + kOffset + " ::/BIG.DAT"));
    std::string bytes = ReadFile(raw[1]);
    size_t zeroed = std::string::npos;
    for (size_t at = 0; at + (1 << 20) <= bytes.size(); at += 1 << 20) {
      if (bytes.find_first_not_of('Z', at) >= at + (1 << 20)) {
        bytes.replace(at, 1 << 20, std::string(1 << 20, '\0'));
        zeroed = at;
        break;
      }
    }
    ASSERT_NE(zeroed, std::string::npos) << "no block of BIG.DAT alone";
    std::ofstream(raw[1], std::ios::binary) << bytes;
    std::ofstream(drive.root + "/USER.DAT") << std::string(100000, 'u');
    ASSERT_TRUE(Shell("mcopy -i " + raw[1] + kOffset + " " + drive.root +
                      "/USER.DAT ::/USER.DAT"));
    fs::copy_file(raw[1], raw[2]);
    ASSERT_TRUE(Shell("mcopy -i " + raw[2] + kOffset + " " + drive.root +
                      "/USER.DAT ::/OTHER.DAT"));
    const std::string base = machine + "/Win95.vdi";
    std::string first = std::string(machine).append("/").append(a);
    std::string second = std::string(machine).append("/").append(b);
    if (row.snapshots) {
      first = *row.snapshots + "/{aaaa}.vdi";
      second = *row.snapshots + "/{bbbb}.vdi";
    }
    std::string convert = "qemu-img convert -O vdi ";
    ASSERT_TRUE(Shell(convert.append(raw[0]).append(" ").append(base)));
    if (row.base.base) {
      WriteVdiChild(base, base + ".new", "", raw[0], row.base);
      fs::rename(base + ".new", base);
    }
    const uint64_t disk = fs::file_size(raw[0]);
    WriteVdiChild(base, first, raw[0], raw[1]);
    WriteVdiChild(first, second, raw[1], raw[2],
                  {row.top_size ? disk + row.top_size : 0});
    WriteVbox(
        machine + "/Win95.vbox", "Win95",
        {"Win95.vdi", row.snapshots ? first : a, row.snapshots ? second : b});
    std::vector<std::string> chain = {second, first, base};
    // The judge: the run on a raw copy of what the chain composes.
    ASSERT_TRUE(ComposeVdiChain(chain, raw[2] + ".composed", disk));
    EXPECT_TRUE(ReadFile(raw[2] + ".composed") == ReadFile(raw[2]));
    Invocation judge = Invoke({raw[2]});
    ASSERT_EQ(judge.status, 0) << judge.err;
    auto expected = VolumeFiles(raw[2], kOffset);
    for (const std::string& file : raw) fs::remove(file);
    fs::remove(raw[2] + ".composed");
    if (row.spoil) row.spoil();
    std::map<std::string, std::string> kept;
    for (const std::string& folder : {machine, elsewhere}) {
      for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (entry.is_regular_file()) {
          kept[entry.path().string()] = ReadFile(entry.path().string());
        }
      }
    }
    struct rlimit unlimited, limited = {64 << 20, 64 << 20};
    getrlimit(RLIMIT_FSIZE, &unlimited);
    if (row.top_size) setrlimit(RLIMIT_FSIZE, &limited);
    Invocation run = Invoke({"-v", machine + "/" + row.named});
    setrlimit(RLIMIT_FSIZE, &unlimited);
    EXPECT_EQ(run.status, row.status) << run.err;
    if (row.status != 0) {
      EXPECT_NE(run.err.find(row.said), std::string::npos) << run.err;
      for (const auto& [path, was] : kept) {
        EXPECT_TRUE(ReadFile(path) == was) << path << " changed";
      }
      continue;
    }
    if (row.named == "Win95.vbox") {
      EXPECT_NE(run.out.find("drive C is " + second), std::string::npos)
          << run.out;
    }
    for (size_t i = 1; i < chain.size(); ++i) {
      EXPECT_TRUE(ReadFile(chain[i]) == kept[chain[i]]) << chain[i];
    }
    std::string composed = machine + "/composed.raw";
    ASSERT_TRUE(ComposeVdiChain(chain, composed, disk));
    EXPECT_TRUE(VolumeFiles(composed, kOffset) == expected)
        << "the files differ from the raw run's";
    EXPECT_TRUE(
        ReadImage(kOnFat16Disk, composed, composed + kOffset, {}).sound);
    if (row.base.base) continue;  // a base QEMU reads otherwise, or not
    // A second opinion on the base: qemu-img reads it as the tests do.
    ASSERT_TRUE(ComposeVdiChain({chain.back()}, composed));
    ASSERT_TRUE(Shell("qemu-img convert -O raw " + chain.back() + " " +
                      composed + ".qemu"));
    EXPECT_TRUE(ReadFile(composed) == ReadFile(composed + ".qemu"));
  }
  fs::remove(sample + "/BIG.DAT");
  fs::remove_all(elsewhere);
}

}  // namespace
