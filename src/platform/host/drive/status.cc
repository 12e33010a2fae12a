#include "platform/host/drive/status.h"

// The run's one drive C at a time: reset when a drive is chosen.
static DriveProblem reported;
static std::string drive_note;
static std::string sound_agrees, sound_differs;

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
  sound_agrees.clear();
  sound_differs.clear();
}

void NoteDriveC(const std::string& note) {
  drive_note = note;
}

std::string DriveCNote() {
  return drive_note;
}

void NoteSoundCard(const std::string& agrees, const std::string& differs) {
  sound_agrees = agrees;
  sound_differs = differs;
}

void SoundCardNote(std::string* agrees, std::string* differs) {
  *agrees = sound_agrees;
  *differs = sound_differs;
}
