#include "cli/statuses.h"

#include "platform/host/drive/status.h"

const StatusMeaning kStatusMeanings[] = {
    {kDriveDone, "every drive is set up (or, in a dry run, already was)"},
    {kStatusWouldChange, "a dry run found a file to change"},
    {kStatusFileFailed, "a file could not be read or replaced"},
    {kStatusUsage, "the command line is wrong"},
    {kDriveUnusable,
     "no FAT volume that can be drive C, a format not written in place, an "
     "image that names a file it must not, or a disk others are built on "
     "(beside it, in Snapshots/ or in a .vbox beside it)"},
    {kDriveMissing,
     "the drive names nothing, a file the image names does not exist, or "
     "drive C holds no Windows directory (or system directory)"},
    {kDriveNoHelper,
     "a helper is missing or unusable (mtools, qemu-img, "
     "qemu-storage-daemon, FUSE for this user)"},
    {kDriveDropped,
     "the image's changes could not be made durable and were dropped; the "
     "image is as it was"},
    {kDriveNoJournal, "the journal cannot be made beside the image"},
    {kDriveNotStored,
     "a committed journal waits beside the image; the next run "
     "finishes it, unless another program wrote to the image since"},
    {kDriveInUse, "the image is in use by another process or a saved machine"},
    {kStatusSignal, "signal N stopped the run at a safe point"},
};

const int kStatusMeaningCount =
    static_cast<int>(sizeof kStatusMeanings / sizeof kStatusMeanings[0]);

std::string StatusText(int status) {
  if (status == kStatusSignal) return "128+N";
  return std::to_string(status);
}
