// What became of drive C, as the host program's exit status tells a
// script (the sysexits values). The updates' own results are not in it
// (outcomes.h).
#ifndef DOSSETUP_PLATFORM_HOST_DRIVE_STATUS_H_
#define DOSSETUP_PLATFORM_HOST_DRIVE_STATUS_H_

enum DriveStatus {
  kDriveDone = 0,
  kDriveUnusable = 65,   // no FAT volume that can be drive C, or a format
                         // that cannot be written in place
  kDriveMissing = 66,    // the location names nothing, an image names a
                         // file that does not exist, or drive C holds no
                         // Windows directory
  kDriveNoHelper = 69,   // mtools, QEMU's tools or FUSE missing or unusable
  kDriveDropped = 71,    // the changes could not be made durable and were
                         // dropped; the image is as it was
  kDriveNoJournal = 73,  // no journal can be made beside the image
  kDriveNotStored = 74,  // a committed journal waits for the next run
  kDriveInUse = 75,      // another process uses the image: try again later
};
#include <string>

// A status and, where it says more, the reason in a few words.
struct DriveProblem {
  DriveStatus status = kDriveDone;
  std::string why;
};

// Records why drive C could not be used, or not wholly; the first stays.
void ReportDrive(DriveStatus status, const std::string& why = "");
void ReportDrive(const DriveProblem& problem);

// The first problem reported since the last reset, else kDriveDone.
DriveProblem ReportedDrive();
void ResetDriveStatus();

// Where drive C was found, when the location led elsewhere (a machine
// file to its disk), for the verbose lines; "" else.
void NoteDriveC(const std::string& note);
std::string DriveCNote();

// What a machine file says of its sound card against the BLASTER line: a
// verbose line where they agree, a line for standard error where they
// differ; "" else.
void NoteSoundCard(const std::string& agrees, const std::string& differs);
void SoundCardNote(std::string* agrees, std::string* differs);

#endif  // DOSSETUP_PLATFORM_HOST_DRIVE_STATUS_H_
