#include "cli/statuses.h"

const StatusMeaning kStatusMeanings[] = {
    {"0", "every drive is set up (or, in a dry run, already was)"},
    {"1", "a dry run found a file to change"},
    {"2", "a file could not be read or replaced"},
    {"64", "the command line is wrong"},
    {"65",
     "no FAT volume that can be drive C, a format not written in place, or "
     "an image that names a file it must not"},
    {"66",
     "the drive names nothing, a file the image names does not exist, or "
     "drive C holds no Windows directory (or system directory)"},
    {"69",
     "a helper is missing or unusable (mtools, qemu-img, "
     "qemu-storage-daemon, FUSE for this user)"},
    {"71",
     "the image's changes could not be made durable and were dropped; the "
     "image is as it was"},
    {"73", "the journal cannot be made beside the image"},
    {"74",
     "a committed journal waits beside the image; the next run "
     "finishes it"},
    {"75", "the image is in use by another process"},
    {"128+N", "signal N stopped the run at a safe point"},
};

const int kStatusMeaningCount =
    static_cast<int>(sizeof kStatusMeanings / sizeof kStatusMeanings[0]);
