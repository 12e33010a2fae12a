// Drive C on the host: chosen by location, opened at its first use,
// released explicitly. A regular file is a disk image (image.h); a block
// device is refused; anything else is taken for a folder (folder.h). This
// is the one place that knows both back ends, and the one that keeps the
// drive the Windows calls address, since they take no handle.
#ifndef DOSSETUP_PLATFORM_HOST_DRIVE_DRIVE_C_H_
#define DOSSETUP_PLATFORM_HOST_DRIVE_DRIVE_C_H_

#include "platform/host/drive/backend.h"
#include "platform/host/drive/status.h"

// Chooses drive C, releasing the drive open so far: a folder or a disk
// image file; null means DOSSETUP_DRIVE_C, else the current directory.
// Read-only, nothing on it or beside it is ever written. It is opened at
// the next Windows call.
void HostChooseDriveC(const char* location, bool read_only = false);

// Whether drive C was chosen read-only.
bool HostDriveCReadOnly();

// The location chosen, as given (DOSSETUP_DRIVE_C's value, or ".").
std::string HostDriveCLocation();

// Drive C. The first call after a choice opens it, which for an image may
// start helper programs; a drive that cannot be used gives one on which
// every operation fails.
Drive* OpenDriveC();

// Lets go of drive C, committing an image's changes (or discarding them
// after an interrupt), and forgets the choice. Returns the exit status:
// 128 and the signal after an interrupt, else the first reported status,
// else 0.
int HostReleaseDriveC();

#endif  // DOSSETUP_PLATFORM_HOST_DRIVE_DRIVE_C_H_
