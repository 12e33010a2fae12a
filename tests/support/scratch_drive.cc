#include "support/scratch_drive.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/host/drive.h"
#include "platform/host/faults.h"
#include "startup/directories.h"
#include "startup/setup.h"

namespace fs = std::filesystem;

ScratchDrive::ScratchDrive() {
  std::string pattern =
      (fs::temp_directory_path() / "dossetup-drive-XXXXXX").string();
  if (!mkdtemp(pattern.data())) ADD_FAILURE() << "mkdtemp failed";
  root = pattern;
  HostSetDriveC(root.c_str());
  HostForceLegacyResolve(false);
  FaultReset();
}

ScratchDrive::~ScratchDrive() {
  HostSetDriveC(nullptr);
  FaultReset();
  std::error_code ignored;
  fs::remove_all(root, ignored);
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

void RunOn(const ScratchDrive& drive) {
  HostSetDriveC(drive.root.c_str());
  RunSetup();
}
