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
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "platform/host/drive/drive_c.h"
#include "platform/host/drive/short_name.h"
#include "platform/host/windows_path.h"
#include "platform/platform.h"
#include "startup/setup.h"
#include "support/scratch_drive.h"

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

std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
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
    std::string before = FileBytes(image);
    std::unique_ptr<Holder> holder;
    if (!c.holder.empty()) holder.reset(new Holder(c.holder, image, c.locks));
    if (c.without_fuse) {
      EXPECT_EQ(RunAsUserWithoutFuse(image), c.status);
      EXPECT_EQ(FileBytes(image) == before, c.status != 0);
      continue;
    }
    HostChooseDriveC(image.c_str());
    RunSetup();
    EXPECT_EQ(HostReleaseDriveC(), c.status);
    EXPECT_EQ(FileBytes(image), before);
    if (holder) {
      holder->Stop();
      HostChooseDriveC(image.c_str());
      RunSetup();
      EXPECT_EQ(HostReleaseDriveC(), 0);
      EXPECT_NE(FileBytes(image), before) << "no run once the holder is gone";
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
  auto descriptor =
      [](const std::string& image, const std::string& extent) {
        std::ofstream(image)
            << "# Disk DescriptorFile\nversion=1\nCID=fffffffe\n"
               "parentCID=ffffffff\ncreateType=\"monolithicFlat\"\n"
               "RW 32768 FLAT \""
            << extent << "\" 0\nddb.adapterType = \"ide\"\n";
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
          files[entry.path().string()] = FileBytes(entry.path().string());
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
    EXPECT_EQ(FileBytes(theirs), before[theirs]) << "their disk changed";
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

}  // namespace
