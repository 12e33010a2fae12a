// Every platform operation of a run made to fail at each of its uses: the
// drive must then hold exactly what the failure handling promises. On a
// folder in the unit tier, inside a disk image in the image tier.
#include "platform/host/faults.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "diskimage/engine/interrupts.h"
#include "platform/host/drive/drive_c.h"
#include "platform/host/drive/folder.h"
#include "startup/setup.h"
#include "stops/steps.h"
#include "support/scratch_drive.h"

namespace {

const char* const kTemps[] = {"autoexec.tmp", "WINDOWS/dosstart.tmp",
                              "WINDOWS/SYSTEM/kestiv.tmp"};

struct FaultRow {
  FaultOp op;
  int nth;
  // Per file, in the order above: 'o' as before the run, 'n' as after a
  // clean run, '0' as after a clean run but with Language=0.
  const char* files;
  int temp_left;  // index into kTemps of a temporary file left, or -1
};

// A clean run uses, in order: both directory queries with their
// conversions; for each batch file open-write (temporary), open-read
// (target), two reads, close (target), write, close (temporary), copy,
// delete; then the profile, and for the settings file open-read, open-write,
// two reads, close (target), write, close (temporary), copy, delete.
const FaultRow kRows[] = {
    {kFaultSystemDirectory, 1, "ooo", -1},
    {kFaultShortPath, 1, "ooo", -1},
    {kFaultWindowsDirectory, 1, "ooo", -1},
    {kFaultShortPath, 2, "ooo", -1},
    {kFaultOpenWrite, 1, "onn", -1},
    {kFaultOpenWrite, 2, "non", -1},
    {kFaultOpenWrite, 3, "nno", -1},
    // A target that cannot be opened is left alone, never replaced.
    {kFaultOpenRead, 1, "onn", -1},
    {kFaultOpenRead, 2, "non", -1},
    {kFaultOpenRead, 3, "nno", -1},
    // A read failing, at the data or at the end, stops that file only.
    {kFaultRead, 1, "onn", -1},
    {kFaultRead, 2, "onn", -1},
    {kFaultRead, 3, "non", -1},
    {kFaultRead, 4, "non", -1},
    {kFaultRead, 5, "nno", -1},
    {kFaultRead, 6, "nno", -1},
    {kFaultWrite, 1, "onn", -1},
    {kFaultWrite, 2, "non", -1},
    {kFaultWrite, 3, "nno", -1},
    // Closing a file that was only read loses nothing; closing the
    // temporary file may, so nothing is copied.
    {kFaultClose, 1, "nnn", -1},
    {kFaultClose, 2, "onn", -1},
    {kFaultClose, 3, "nnn", -1},
    {kFaultClose, 4, "non", -1},
    {kFaultClose, 5, "nnn", -1},
    {kFaultClose, 6, "nno", -1},
    {kFaultCopy, 1, "onn", -1},
    {kFaultCopy, 2, "non", -1},
    {kFaultCopy, 3, "nno", -1},
    // A failed delete leaves the temporary file; the target is done.
    {kFaultDelete, 1, "nnn", 0},
    {kFaultDelete, 2, "nnn", 1},
    {kFaultDelete, 3, "nnn", 2},
    // No profile: the language number is 0.
    {kFaultProfile, 1, "nn0", -1},
};

std::map<std::string, std::string> Expected(const FaultRow& row,
                                            const ScratchDrive& before,
                                            const ScratchDrive& clean,
                                            const ScratchDrive& language0) {
  std::map<std::string, std::string> files = before.Snapshot();
  for (int i = 0; i < 3; ++i) {
    const ScratchDrive& source = row.files[i] == 'o'   ? before
                                 : row.files[i] == 'n' ? clean
                                                       : language0;
    files[kUpdatedFiles[i]] = source.Read(kUpdatedFiles[i]);
  }
  if (row.temp_left >= 0) {
    files[kTemps[row.temp_left]] = clean.Read(kUpdatedFiles[row.temp_left]);
  }
  return files;
}

// The same rows hold on a folder and inside a disk image.
class FaultsOn : public testing::TestWithParam<DriveMedium> {};

TEST_P(FaultsOn, EveryUseOfEveryOperationHasARow) {
  ScratchDrive drive;
  LayOutHalfSetUp(drive);
  RunOn(drive, GetParam());
  for (int op = 0; op < kFaultOpCount; ++op) {
    int uses = FaultUses(static_cast<FaultOp>(op));
    EXPECT_GT(uses, 0) << FaultOpName(static_cast<FaultOp>(op));
    for (int nth = 1; nth <= uses; ++nth) {
      bool found = false;
      for (const FaultRow& row : kRows) {
        found = found || (row.op == op && row.nth == nth);
      }
      EXPECT_TRUE(found) << FaultOpName(static_cast<FaultOp>(op)) << " #"
                         << nth;
    }
  }
}

TEST_P(FaultsOn, EachFailureKeepsItsPromise) {
  ScratchDrive before, clean, language0;
  LayOutHalfSetUp(before);
  LayOutHalfSetUp(clean);
  RunOn(clean, GetParam());
  language0.Write(kUpdatedFiles[2],
                  "[Card]\r\nIrq=5\r\nwinpath95=C:\\WINDOWS\r\nLanguage=0\r\n");
  for (const FaultRow& row : kRows) {
    SCOPED_TRACE(std::string(FaultOpName(row.op)) + " #" +
                 std::to_string(row.nth));
    ScratchDrive drive;
    LayOutHalfSetUp(drive);
    FaultArm(row.op, row.nth, kFaultFail);
    RunOn(drive, GetParam());
    EXPECT_EQ(FaultUses(row.op) >= row.nth, true) << "fault never reached";
    EXPECT_EQ(drive.Snapshot(), Expected(row, before, clean, language0));
  }
}

INSTANTIATE_TEST_SUITE_P(Media, FaultsOn,
                         testing::ValuesIn(TierMedia({kOnFat16Disk})),
                         [](const testing::TestParamInfo<DriveMedium>& info) {
                           return info.param == kOnFolder ? "folder" : "image";
                         });

}  // namespace
