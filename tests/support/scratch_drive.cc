#include "support/scratch_drive.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "files/directories.h"
#include "platform/host/drive/drive_c.h"
#include "platform/host/drive/folder.h"
#include "platform/host/faults.h"
#include "startup/setup.h"
#include "support/bochs_disks.h"
#include "support/program.h"
#include "support/vdi_chain.h"
#include "support/vhd_chain.h"

namespace fs = std::filesystem;

ScratchDrive::ScratchDrive() {
  std::string pattern =
      (fs::temp_directory_path() / "dossetup-drive-XXXXXX").string();
  if (!mkdtemp(pattern.data())) ADD_FAILURE() << "mkdtemp failed";
  folder = pattern;
  // Open to other users as the temporary folder is: some tests run the
  // program as another user on an image made here.
  fs::permissions(folder, fs::perms::all | fs::perms::sticky_bit);
  root = folder + "/drive";
  std::error_code error;
  if (!fs::create_directory(root, error)) ADD_FAILURE() << error.message();
  HostChooseDriveC(root.c_str());
  HostForceLegacyResolve(false);
  FaultReset();
}

ScratchDrive::~ScratchDrive() {
  HostReleaseDriveC();
  FaultReset();
  // Also what a run on an image made beside it left, if it stopped midway.
  std::error_code ignored;
  fs::remove_all(folder, ignored);
}

void ScratchDrive::Write(const std::string& path,
                         const std::string& bytes) const {
  fs::path full = fs::path(root) / path;
  fs::create_directories(full.parent_path());
  std::ofstream out(full, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ScratchDrive::Read(const std::string& path) const {
  std::ifstream in(fs::path(root) / path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

bool ScratchDrive::Exists(const std::string& path) const {
  return fs::exists(fs::symlink_status(fs::path(root) / path));
}

void ScratchDrive::MakeFolder(const std::string& path) const {
  fs::create_directories(fs::path(root) / path);
}

std::map<std::string, std::string> ScratchDrive::Snapshot() const {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_symlink() || !entry.is_regular_file()) continue;
    std::string relative = fs::relative(entry.path(), root).string();
    files[relative] = Read(relative);
  }
  return files;
}

void ScratchDrive::LayOutWindows(const std::string& language) const {
  Write("MSDOS.SYS", "[Paths]\r\nWinDir=C:\\WINDOWS\r\n");
  MakeFolder("WINDOWS/SYSTEM");
  Write("WINDOWS/WIN.INI", "[intl]\r\nsLanguage=" + language + "\r\n");
}

void SetDirectories(const char* windows, const char* system) {
  snprintf(WindowsDirShort, sizeof WindowsDirShort, "%s", windows);
  snprintf(SystemDirShort, sizeof SystemDirShort, "%s", system);
}

int RunOn(const ScratchDrive& drive) {
  HostChooseDriveC(drive.root.c_str());
  RunSetup();
  return HostReleaseDriveC();
}

const char* MediumName(DriveMedium medium) {
  static const char* const kNames[] = {"folder",
                                       "FAT12 floppy",
                                       "FAT16 disk",
                                       "FAT32 disk",
                                       "FAT16 dynamic VHD",
                                       "FAT16 qcow2",
                                       "FAT16 VDI",
                                       "FAT16 Virtual PC VHD",
                                       "FAT16 VMDK",
                                       "FAT16 differencing VHD",
                                       "FAT16 fresh differencing VHD",
                                       "FAT16 fresh, spacious VHD child",
                                       "FAT16 VDI snapshot",
                                       "FAT16 Bochs growing disk",
                                       "FAT16 Bochs undoable disk",
                                       "FAT16 Bochs sparse layers",
                                       "FAT16 fixed VDI"};
  return kNames[medium];
}

// The Bochs mode of a medium, where it is a Bochs disk.
bool IsBochs(DriveMedium medium, BochsMode* mode = nullptr) {
  BochsMode found = medium == kOnFat16BochsGrowing    ? kBochsGrowing
                    : medium == kOnFat16BochsUndoable ? kBochsUndoable
                                                      : kBochsSparse;
  if (mode) *mode = found;
  return medium == kOnFat16BochsGrowing || medium == kOnFat16BochsUndoable ||
         medium == kOnFat16BochsSparse;
}

std::string WrittenFile(DriveMedium medium, const std::string& image) {
  BochsMode mode;
  return IsBochs(medium, &mode) ? BochsWritten(mode, image) : image;
}

bool Shell(const std::string& command) {
  return system(("MTOOLSRC=/dev/null MTOOLS_SKIP_CHECK=1 " + command +
                 " >/dev/null 2>&1")
                    .c_str()) == 0;
}

namespace {

const uint64_t kPartitionStart = 2048;  // sectors, as partitioning tools do

// An MBR with one primary partition of `type` from kPartitionStart on.
void WritePartitionTable(const std::string& image, uint64_t bytes,
                         unsigned char type) {
  std::string mbr(512, '\0');
  uint32_t fields[2] = {static_cast<uint32_t>(kPartitionStart),
                        static_cast<uint32_t>(bytes / 512 - kPartitionStart)};
  mbr[446] = static_cast<char>(0x80);
  mbr[446 + 4] = static_cast<char>(type);
  for (int f = 0; f < 2; ++f) {
    for (int i = 0; i < 4; ++i) {
      mbr[454 + 4 * f + i] = static_cast<char>(fields[f] >> (8 * i));
    }
  }
  mbr[510] = 0x55;
  mbr[511] = static_cast<char>(0xAA);
  std::ofstream out(image, std::ios::binary | std::ios::trunc);
  out.write(mbr.data(), static_cast<std::streamsize>(mbr.size()));
  out.close();
  fs::resize_file(image, bytes);
}

// qemu-img's name for a medium's format, or null for raw.
const char* QemuFormat(DriveMedium medium) {
  switch (medium) {
    case kOnFat16Vhd:
    case kOnFat16VirtualPcVhd:
      return "vpc";
    case kOnFat16Qcow2:
      return "qcow2";
    case kOnFat16Vdi:
    case kOnFat16FixedVdi:
      return "vdi";
    case kOnFat16Vmdk:
      return "vmdk";
    default:
      return nullptr;
  }
}

// The image as qemu-img must be given it to see the whole disk.
std::string QemuSource(DriveMedium medium, const std::string& image) {
  if (medium == kOnFat16VirtualPcVhd) {
    return "--image-opts driver=vpc,force_size_calc=current_size,"
           "file.filename=" +
           image;
  }
  const char* format = QemuFormat(medium);
  return std::string("-f ") + (format ? format : "raw") + " " + image;
}

// Names Virtual PC as the maker of the VHD at `image`, with a geometry of
// 480 cylinders, 4 heads and 17 sectors (a little less than the disk), in
// both copies of its footer, each with its checksum made anew.
void MarkAsVirtualPc(const std::string& image) {
  std::fstream file(image, std::ios::binary | std::ios::in | std::ios::out);
  file.seekg(0, std::ios::end);
  std::streamoff size = file.tellg();
  for (std::streamoff at : {std::streamoff{0}, size - 512}) {
    char footer[512];
    file.seekg(at);
    file.read(footer, sizeof footer);
    std::copy_n("vpc ", 4, footer + 28);
    const unsigned char kGeometry[] = {480 >> 8, 480 & 0xFF, 4, 17};
    std::copy_n(kGeometry, 4, footer + 56);
    std::fill_n(footer + 64, 4, '\0');
    uint32_t sum = 0;
    for (char c : footer) sum += static_cast<unsigned char>(c);
    sum = ~sum;
    for (int i = 0; i < 4; ++i) {
      footer[64 + i] = static_cast<char>(sum >> (24 - 8 * i));
    }
    file.seekp(at);
    file.write(footer, sizeof footer);
  }
}

bool IsVhdChild(DriveMedium medium) {
  return medium == kOnFat16VhdChild || medium == kOnFat16FreshVhdChild ||
         medium == kOnFat16FreshVhdChildSlack;
}

// A child of a chain the program writes itself, over one parent.
bool IsChild(DriveMedium medium) {
  return IsVhdChild(medium) || medium == kOnFat16VdiSnapshot;
}

// The parents of the differencing VHDs made, with their bytes.
std::map<std::string, std::string> parents_made;

std::string ParentOf(DriveMedium medium, const std::string& image) {
  return image +
         (medium == kOnFat16VdiSnapshot ? ".parent.vdi" : ".parent.vhd");
}

// A differencing VHD, or VDI, at `image` that composes the raw disk
// `raw`: its parent holds the disk as it was before the tree went in.
void MakeChild(DriveMedium medium, const std::string& image,
               const std::string& raw, const std::string& before,
               uint64_t slack) {
  std::string parent = ParentOf(medium, image);
  bool vdi = medium == kOnFat16VdiSnapshot;
  EXPECT_TRUE(Shell(std::string("qemu-img convert -O ") +
                    (vdi ? "vdi " : "vpc ") + before + " " + parent));
  std::string name = fs::path(parent).filename().string();
  if (vdi) {
    WriteVdiChild(parent, image, before, raw);
  } else {
    WriteVhdChild(parent, image, before, raw,
                  {".\\" + name, "C:\\VMs\\" + name, "", name}, slack);
  }
  parents_made[parent] = ReadFile(parent);
}

// The raw disk a child made here composes, at `raw`; false when its
// parent lost a byte.
bool ComposeChild(DriveMedium medium, const std::string& image,
                  const std::string& raw) {
  std::string parent = ParentOf(medium, image);
  bool kept = ReadFile(parent) == parents_made[parent];
  EXPECT_TRUE(kept) << "the parent " << parent << " changed";
  bool composed = medium == kOnFat16VdiSnapshot
                      ? ComposeVdiChain({image, parent}, raw)
                      : ComposeVhdChain({image, parent}, raw);
  return composed && kept;
}

// The volume of an image as a file of its own, for fsck.fat.
std::string VolumeFile(DriveMedium medium, const std::string& image) {
  if (medium == kOnFat12Floppy) return image;
  std::string volume = image + ".volume";
  Shell("dd if=" + image + " of=" + volume +
        " bs=512 skip=" + std::to_string(kPartitionStart));
  return volume;
}

}  // namespace

std::string MakeImage(DriveMedium medium, const std::string& image,
                      const std::string& folder) {
  BochsMode mode;
  if (IsBochs(medium, &mode)) {
    std::string before = image + ".before";
    std::string after = image + ".after";
    std::string spec = MakeImage(kOnFat16Disk, before, "");
    fs::copy_file(before, after, fs::copy_options::overwrite_existing);
    if (!folder.empty() && !fs::is_empty(folder)) {
      EXPECT_TRUE(Shell("cd " + folder + " && mcopy -s -i " + after +
                        spec.substr(before.size()) + " * ::/"));
    }
    MakeBochsDisk(mode, image, before, after);
    fs::remove(before);
    fs::remove(after);
    return image + spec.substr(before.size());
  }
  if (IsChild(medium)) {
    std::string before = image + ".before";
    std::string raw = image + ".raw";
    std::string spec = MakeImage(kOnFat16Disk, before, "");
    fs::copy_file(before, raw, fs::copy_options::overwrite_existing);
    std::string raw_spec = raw + spec.substr(before.size());
    if (!folder.empty() && !fs::is_empty(folder)) {
      EXPECT_TRUE(
          Shell("cd " + folder + " && mcopy -s -i " + raw_spec + " * ::/"));
    }
    // A fresh child: its parent holds the tree.
    bool fresh =
        medium == kOnFat16FreshVhdChild || medium == kOnFat16FreshVhdChildSlack;
    MakeChild(medium, image, raw, fresh ? raw : before,
              medium == kOnFat16FreshVhdChildSlack ? 8 << 20 : 0);
    fs::remove(before);
    fs::remove(raw);
    return image + spec.substr(before.size());
  }
  if (const char* format = QemuFormat(medium)) {
    std::string raw = image + ".raw";
    std::string spec = MakeImage(kOnFat16Disk, raw, folder);
    bool virtual_pc = medium == kOnFat16VirtualPcVhd;
    const char* options = virtual_pc                   ? " -o force_size=on "
                          : medium == kOnFat16FixedVdi ? " -o static=on "
                                                       : " ";
    EXPECT_TRUE(Shell(std::string("qemu-img convert -O ") + format + options +
                      raw + " " + image))
        << "qemu-img convert to " << format;
    if (virtual_pc) MarkAsVirtualPc(image);
    fs::remove(raw);
    return image + spec.substr(raw.size());
  }
  std::string spec = image;
  bool made = false;
  if (medium == kOnFat12Floppy) {
    made = Shell("mformat -i " + image + " -C -f 1440 ::");
  } else {
    bool fat32 = medium == kOnFat32Disk;
    uint64_t bytes = uint64_t{fat32 ? 64u : 16u} << 20;
    WritePartitionTable(image, bytes, fat32 ? 0x0C : 0x06);
    spec += "@@" + std::to_string(kPartitionStart * 512);
    // Two-sector clusters keep a small volume FAT16 rather than FAT12.
    made = Shell("mformat -i " + spec + (fat32 ? " -F" : " -c 2") + " -T " +
                 std::to_string(bytes / 512 - kPartitionStart) +
                 " -h 64 -s 32 -H " + std::to_string(kPartitionStart) + " ::");
  }
  EXPECT_TRUE(made) << "mformat for a " << MediumName(medium);
  const char* fat = medium == kOnFat12Floppy ? "FAT12"
                    : medium == kOnFat16Disk ? "FAT16"
                                             : "FAT32";
  EXPECT_TRUE(
      Shell("minfo -i " + spec + " :: | grep -q 'disk type=\"" + fat + "'"))
      << MediumName(medium) << " is not " << fat;
  if (!folder.empty() && !fs::is_empty(folder)) {
    EXPECT_TRUE(Shell("cd " + folder + " && mcopy -s -i " + spec + " * ::/"));
  }
  return spec;
}

int RunOn(const ScratchDrive& drive, DriveMedium medium) {
  if (medium == kOnFolder) return RunOn(drive);
  std::string image = drive.root + ".img";
  std::string spec = MakeImage(medium, image, drive.root);
  // The run's own temporary folder, so that only its view is looked for.
  std::string tmp = drive.root + ".tmp";
  fs::create_directory(tmp);
  const char* outer = getenv("TMPDIR");
  std::string saved = outer ? outer : "";
  setenv("TMPDIR", tmp.c_str(), 1);
  HostChooseDriveC(image.c_str());
  RunSetup();
  int status = HostReleaseDriveC();
  HostChooseDriveC(drive.root.c_str());
  std::string written = WrittenFile(medium, image);
  EXPECT_FALSE(fs::exists(written + "-journal") ||
               fs::exists(written + "-journal-commit") ||
               fs::exists(written + "-journal-image"))
      << "a journal outlived the run";
  if (outer) {
    setenv("TMPDIR", saved.c_str(), 1);
  } else {
    unsetenv("TMPDIR");
  }
  EXPECT_FALSE(ViewLeftBehind(tmp)) << "a daemon's view outlived the run";
  fs::remove_all(tmp);
  BochsMode mode;
  if (IsChild(medium)) {
    EXPECT_TRUE(ComposeChild(medium, image, image + ".raw"));
    fs::rename(image + ".raw", image);
    fs::remove(ParentOf(medium, image));
    medium = kOnFat16Disk;
  } else if (IsBochs(medium, &mode)) {
    EXPECT_TRUE(ReadBochsDisk(mode, image, image + ".raw"));
    RemoveBochsDisk(image);
    fs::rename(image + ".raw", image);
    medium = kOnFat16Disk;
  }
  if (const char* format = QemuFormat(medium)) {
    if (std::string(format) != "vpc") {
      EXPECT_TRUE(
          Shell("qemu-img check -f " + std::string(format) + " " + image))
          << "qemu-img check on " << image;
    }
    EXPECT_TRUE(Shell("qemu-img convert " + QemuSource(medium, image) +
                      " -O raw " + image + ".raw"));
    fs::rename(image + ".raw", image);
    medium = kOnFat16Disk;
  }
  std::string volume = VolumeFile(medium, image);
  EXPECT_TRUE(Shell("fsck.fat -n " + volume)) << "fsck.fat on " << image;
  for (const auto& entry : fs::directory_iterator(drive.root)) {
    fs::remove_all(entry.path());
  }
  EXPECT_TRUE(Shell("mcopy -s -n -i " + spec + " '::/*' " + drive.root));
  fs::remove(image);
  fs::remove(volume);
  return status;
}

ImageContent ReadImage(DriveMedium medium, const std::string& image,
                       const std::string& spec,
                       const std::vector<std::string>& paths) {
  ImageContent content;
  std::string raw = image + ".raw";
  std::string raw_spec = raw + spec.substr(image.size());
  const char* format = QemuFormat(medium);
  BochsMode mode;
  if (IsChild(medium)) {
    content.sound = ComposeChild(medium, image, raw);
  } else if (IsBochs(medium, &mode)) {
    content.sound = ReadBochsDisk(mode, image, raw);
  } else {
    content.sound =
        (!format || std::string(format) == "vpc" ||
         Shell("qemu-img check -f " + std::string(format) + " " + image)) &&
        Shell("qemu-img convert -U " + QemuSource(medium, image) + " -O raw " +
              raw);
  }
  std::string volume = VolumeFile(format ? kOnFat16Disk : medium, raw);
  content.sound = content.sound && Shell("fsck.fat -n " + volume);
  for (const std::string& path : paths) {
    std::string out = raw + ".file";
    std::string command = "mcopy -n -i " + raw_spec;
    command += " '::/";
    command += path;
    command += "' ";
    command += out;
    if (Shell(command)) content.files[path] = ReadFile(out);
    fs::remove(out);
  }
  fs::remove(raw);
  if (volume != raw) fs::remove(volume);
  return content;
}

bool ViewLeftBehind(const std::string& tmp) {
  std::ifstream mounts("/proc/self/mountinfo");
  std::string text((std::istreambuf_iterator<char>(mounts)), {});
  return text.find(tmp + "/") != std::string::npos || !fs::is_empty(tmp);
}

const char* const kUpdatedFiles[3] = {"AUTOEXEC.BAT", "WINDOWS/DOSSTART.BAT",
                                      "WINDOWS/SYSTEM/KESTIV.INI"};

void LayOutHalfSetUp(const ScratchDrive& drive) {
  drive.LayOutWindows("fra");
  drive.Write("AUTOEXEC.BAT",
              "SET  BLASTER=A220 I5  D1 T4\r\nPATH C:\\WINDOWS\r\n");
  drive.Write("WINDOWS/DOSSTART.BAT",
              "C:\\WINDOWS\\SYSTEM\\quorvel.exe /N\r\nX\r\n");
  drive.Write("WINDOWS/SYSTEM/KESTIV.INI", "[Card]\r\nLanguage=1\r\nIrq=5\r\n");
}

std::vector<DriveMedium> TierMedia(const std::vector<DriveMedium>& images) {
#ifdef DOSSETUP_IMAGE_TIER
  return images;
#else
  (void)images;
  return {kOnFolder};
#endif
}
