#include "platform/host/drive/status.h"

// The run's one drive C at a time: reset when a drive is chosen.
static DriveProblem reported;
static std::string drive_note;

void ReportDrive(DriveStatus status, const std::string& why) {
  if (reported.status == kDriveDone && status != kDriveDone) {
    reported.status = status;
    reported.why = why;
  }
}

void ReportDrive(const DriveProblem& problem) {
  ReportDrive(problem.status, problem.why);
}

DriveProblem ReportedDrive() {
  return reported;
}

void ResetDriveStatus() {
  reported = DriveProblem();
  drive_note.clear();
}

void NoteDriveC(const std::string& note) {
  drive_note = note;
}

std::string DriveCNote() {
  return drive_note;
}
