// Drive C as a folder. Nothing outside it is ever reached: every open
// resolves beneath it (openat2 with RESOLVE_BENEATH; where the kernel lacks
// it, no symbolic link is followed at all). Only regular files are opened,
// so nothing blocks on a FIFO or a device.
#ifndef DOSSETUP_PLATFORM_HOST_DRIVE_FOLDER_H_
#define DOSSETUP_PLATFORM_HOST_DRIVE_FOLDER_H_

#include "platform/host/drive/backend.h"

extern const DriveBackend kFolderDrive;

// Resolves paths without openat2 even where the kernel has it, as on a
// kernel without it (for tests).
void HostForceLegacyResolve(bool legacy);

#endif  // DOSSETUP_PLATFORM_HOST_DRIVE_FOLDER_H_
