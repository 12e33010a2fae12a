#include "cli/run.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "cli/diff.h"
#include "cli/statuses.h"
#include "diskimage/engine/interrupts.h"
#include "files/compose.h"
#include "files/directories.h"
#include "fixed_texts.h"
#include "platform/host/drive/drive_c.h"
#include "platform/host/outcomes.h"
#include "startup/setup.h"

namespace {

const char kProgram[] = "dossetup";

// The file each update (RunUpdate, in order) replaces, by Windows path.
std::string UpdateTarget(int index) {
  char target[kComposedCapacity];
  char temp[kComposedCapacity];
  switch (index) {
    case 0:
      return kAutoexecPath;
    case 1:
      ComposeFileAndTemp(target, temp, WindowsDirShort, kDosstartName,
                         kDosstartTempName);
      return target;
    default:
      ComposeFileAndTemp(target, temp, SystemDirShort, kSettingsName,
                         kSettingsTempName);
      return target;
  }
}

// What the drive's status says when nothing more precise was reported.
const char* DriveMessage(int status) {
  switch (status) {
    case kDriveUnusable:
      return "no FAT volume that can be drive C";
    case kDriveMissing:
      return "no such file or directory";
    case kDriveNoHelper:
      return "a helper program is missing or unusable";
    case kDriveDropped:
      return "the changes could not be made durable and were dropped; the "
             "image is as it was";
    case kDriveNoJournal:
      return "cannot make the journal beside the image";
    case kDriveNotStored:
      return "a committed journal waits beside the image; run again to "
             "finish it";
    case kDriveInUse:
      return "in use by another process; try again later";
    default:
      return "failed";
  }
}

// Once standard output's reader has gone (SIGPIPE is ignored, so writes
// fail with EPIPE), no more diffs or verbose lines are shown, and nothing
// is said of them: GNU tools end quietly when their reader goes. The
// drives are still set up, and the status says what became of them.
bool output_gone = false;

void Shown() {
  if (fflush(stdout) != 0 && errno == EPIPE) output_gone = true;
}

const char* OutcomeText(const FileReport& report, bool dry_run) {
  switch (report.outcome) {
    case kFileUpdated:
      return dry_run ? "would be updated" : "updated";
    case kFileAlreadySet:
      return "already set up";
    case kFileAbsent:
      return "absent, left alone";
    case kFileFailed:
      break;
  }
  return "failed";
}

// Sets one drive up: the probe, then each update watched on its own.
int RunDrive(const char* location, const Options& options) {
  HostChooseDriveC(location, options.dry_run);
  std::string name = HostDriveCLocation();
  std::vector<FileReport> reports;
  bool probed = ProbeDirectories();
  for (int i = 0; probed && i < kUpdateCount; ++i) {
    WatchFile(UpdateTarget(i).c_str(), options.diff);
    RunUpdate(i);
    reports.push_back(FinishFile());
  }
  std::string note = DriveCNote(), agrees, differs;
  SoundCardNote(&agrees, &differs);
  int status = HostReleaseDriveC();
  DriveProblem problem = ReportedDrive();
  for (const std::string& line : {note, agrees}) {
    if (options.verbose && !line.empty() && !output_gone) {
      printf("%s: %s\n", name.c_str(), line.c_str());
      Shown();
    }
  }

  if (status >= kStatusSignal) {
    const char* signal = sigabbrev_np(status - kStatusSignal);
    fprintf(stderr, "%s: %s: stopped by SIG%s\n", kProgram, name.c_str(),
            signal ? signal : "?");
    for (FileReport& report : reports) {
      if (report.old_fd >= 0) close(report.old_fd);
      if (report.new_fd >= 0) close(report.new_fd);
    }
    return status;
  }
  if (status != 0) {
    fprintf(stderr, "%s: %s: %s\n", kProgram, name.c_str(),
            problem.why.empty() ? DriveMessage(status) : problem.why.c_str());
  } else if (!probed) {
    fprintf(stderr,
            "%s: %s: the Windows and system directories have no short form "
            "that fits; nothing was changed\n",
            kProgram, name.c_str());
    status = kStatusFileFailed;
  }
  // The machine's card apart from the BLASTER line: the files are still
  // set up as asked, so the status stays.
  if (!differs.empty()) {
    fprintf(stderr, "%s: %s: %s\n", kProgram, name.c_str(), differs.c_str());
  }
  bool changed = false;
  for (FileReport& report : reports) {
    if (options.verbose && !output_gone) {
      printf("%s: %s: %s%s%s\n", name.c_str(), report.path.c_str(),
             OutcomeText(report, options.dry_run),
             report.why.empty() ? "" : ": ", report.why.c_str());
      Shown();
    }
    if (report.outcome == kFileFailed) {
      fprintf(stderr, "%s: %s: %s: %s\n", kProgram, name.c_str(),
              report.path.c_str(), report.why.c_str());
      if (status == 0) status = kStatusFileFailed;
    }
    if (report.outcome == kFileUpdated) changed = true;
    std::string why;
    if (options.diff && report.outcome == kFileUpdated && !output_gone) {
      if (report.texts_lost) {
        why = "no room for its texts in the scratch folder";
      } else if (ShowDiff(report.path, report.old_fd, report.new_fd,
                          options.color, &why) == kDiffReaderGone) {
        output_gone = true;
      }
      if (!why.empty()) {
        fprintf(stderr, "%s: %s: %s: cannot show the diff: %s\n", kProgram,
                name.c_str(), report.path.c_str(), why.c_str());
      }
    }
    if (report.old_fd >= 0) close(report.old_fd);
    if (report.new_fd >= 0) close(report.new_fd);
  }
  Shown();
  if (status == 0 && changed && options.dry_run) status = kStatusWouldChange;
  return status;
}

}  // namespace

int RunDrives(const Options& options) {
  std::vector<const char*> drives;
  for (const std::string& drive : options.drives)
    drives.push_back(drive.c_str());
  if (drives.empty()) drives.push_back(nullptr);
  int first = 0;
  bool would_change = false;
  for (const char* drive : drives) {
    if (InterruptSignal()) break;
    int status = RunDrive(drive, options);
    if (status == kStatusWouldChange) {
      would_change = true;
    } else if (status != 0 && first == 0) {
      first = status;
    }
  }
  int signal = InterruptSignal();
  if (signal) return kStatusSignal + signal;
  if (first != 0) return first;
  return would_change ? kStatusWouldChange : 0;
}
