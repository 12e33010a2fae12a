#include "platform/host/drive/status.h"

static DriveStatus status = kDriveDone;

void ReportDrive(DriveStatus reported) {
  if (status == kDriveDone) status = reported;
}

DriveStatus ReportedDrive() {
  return status;
}

void ResetDriveStatus() {
  status = kDriveDone;
}
