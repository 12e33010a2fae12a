#include "support/bochs_disks.h"

#include <gtest/gtest.h>
#include <stdint.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "support/program.h"
#include "support/scratch_drive.h"

namespace fs = std::filesystem;

namespace {

void Store(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

uint64_t Get(const std::string& bytes, size_t at) {
  uint64_t value = 0;
  for (int i = 3; i >= 0; --i) {
    value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
  }
  return value;
}

// The bases and lower layers made, with their bytes.
std::map<std::string, std::string>& Bases() {
  static std::map<std::string, std::string> bases;
  return bases;
}

std::string Base(BochsMode mode, const std::string& image) {
  return image + (mode == kBochsUndoable ? ".c" : ".s.0");
}

// bximage, quiet, saying what it says into `said`; true when it ends well
// and said `mode` of its source.
bool Bximage(const std::string& arguments, const std::string& said,
             const std::string& mode = "") {
  bool ok =
      system(("bximage " + arguments + " -q >" + said + " 2>&1").c_str()) == 0;
  std::string text = ReadFile(said);
  fs::remove(said);
  return ok && (mode.empty() ||
                text.find("mode = '" + mode + "'") != std::string::npos);
}

}  // namespace

void MakeBochsDisk(BochsMode mode, const std::string& image,
                   const std::string& before, const std::string& after) {
  if (mode == kBochsGrowing) {
    fs::remove(image);
    EXPECT_TRUE(Bximage("-func=convert -imgmode=growing " + after + " " + image,
                        image + ".said"));
    return;
  }
  std::string base = Base(mode, image);
  fs::remove(base);
  if (mode == kBochsUndoable) {
    // A redolog of a session's changes: a growing disk's layout, as Bochs
    // writes its sectors, its timestamp Bochs' own after a first start.
    fs::copy_file(before, base);
    std::string grown = image + ".grown";
    fs::remove(grown);
    EXPECT_TRUE(Bximage("-func=convert -imgmode=growing " + after + " " + grown,
                        grown + ".said"));
    std::string redolog = ReadFile(grown);
    fs::remove(grown);
    redolog.replace(48, 16, std::string("Undoable") + std::string(8, '\0'));
    redolog.replace(84, 4, std::string(4, '\0'));
    Store(base + ".redolog", redolog);
    std::ofstream(image) << "# made by the tests\nmegs: 32\nboot: disk\n"
                            "ata0-master: type=disk, path=\""
                         << fs::path(base).filename().string()
                         << "\", mode=undoable\n";
  } else {
    // Layer 0 holds the disk; layer 1, empty, goes over it.
    EXPECT_TRUE(Bximage("-func=convert -imgmode=sparse " + after + " " + base,
                        base + ".said"));
    std::string layer = ReadFile(base);
    uint64_t page = Get(layer, 8), pages = Get(layer, 12);
    uint64_t data = (256 + 4 * pages + page - 1) / page * page;
    layer.resize(256);
    layer += std::string(4 * pages, '\xFF');
    layer.resize(data, '\0');
    std::string top = image + ".s.1";
    Store(top, layer);
    std::ofstream(image) << "megs: 32\nata0-master: type=disk, path=\""
                         << fs::path(top).filename().string()
                         << "\", mode=sparse\nboot: disk\n";
  }
  Bases()[base] = ReadFile(base);
}

std::string BochsWritten(BochsMode mode, const std::string& image) {
  switch (mode) {
    case kBochsGrowing:
      return image;
    case kBochsUndoable:
      return Base(mode, image) + ".redolog";
    case kBochsSparse:
      return image + ".s.1";
  }
  return image;
}

bool ReadBochsDisk(BochsMode mode, const std::string& image,
                   const std::string& raw) {
  fs::remove(raw);
  if (mode == kBochsGrowing) {
    return Bximage("-func=convert -imgmode=flat " + image + " " + raw,
                   raw + ".said", "growing");
  }
  std::string base = Base(mode, image);
  bool kept = ReadFile(base) == Bases()[base];
  EXPECT_TRUE(kept) << "the base " << base << " changed";
  bool read;
  if (mode == kBochsUndoable) {
    // Committed onto a copy, as a user commits it.
    std::string redolog = raw + ".redolog";
    fs::copy_file(base, raw);
    fs::copy_file(base + ".redolog", redolog,
                  fs::copy_options::overwrite_existing);
    read = Bximage("-func=commit " + raw + " " + redolog, raw + ".said");
    fs::remove(redolog);
  } else {
    read = Bximage(
        "-func=convert -imgmode=flat " + BochsWritten(mode, image) + " " + raw,
        "sparse");
  }
  return read && kept;
}

void RemoveBochsDisk(const std::string& image) {
  for (const char* suffix : {"", ".c", ".c.redolog", ".s.0", ".s.1"}) {
    fs::remove(image + suffix);
  }
}
