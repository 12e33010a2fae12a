// Changes to a disk image through a journal beside it, so that a run cut
// short at any moment leaves the image as it was, or (after the next run
// settles the journal) as the run would have left it.
//
// The journal, IMAGE-journal, is a qcow2 overlay whose backing file is the
// image, never written while the run works. Once the run's changes are
// complete and synced, IMAGE-journal-commit records the image it was made
// over (file system, inode, size, modification time), written whole and renamed
// into place: that rename is the commit point. QEMU's own commit then
// writes the changed clusters, and both files go once that is synced. A
// run that finds a committed journal first commits it, into that same
// image only; anything else it finds is deleted.
//
// How the commit writes depends on what a commit cut short leaves:
// - raw, qcow2 and qed are written in place. The record first says
//   "committing", naming the image by what the commit leaves alone (file
//   system
//   and inode) and by a floor for what it only moves forward (size and
//   modification time), so that the next run commits again whatever the
//   commit got to. Writing the same clusters again is harmless; the
//   clusters a cut qcow2 or qed commit leaked are then repaired.
// - A differencing VHD is written in place too, by this program's own
//   writer (vhd_commit.h), whose every step can be made again; QEMU never
//   opens it, so its journal names no backing file.
// - Every other format (VDI, VHD, VMDK...) keeps metadata that a cut
//   commit can leave torn beyond repair. Its commit goes into a copy of
//   the image, IMAGE-journal-image (a reflink where the file system has
//   them), synced and renamed over the image; the image itself is never
//   written, so a cut commit is simply made again.
//
// Every QEMU tool opens the image without locking: the caller holds it
// with a lock of its own throughout.
#ifndef DOSSETUP_DISKIMAGE_JOURNAL_H_
#define DOSSETUP_DISKIMAGE_JOURNAL_H_

#include <stdint.h>

#include <string>
#include <vector>

#include "diskimage/vhd.h"

// The format of a differencing VHD as journals record it: no QEMU driver's.
extern const char kVhdDifferencingFormat[];

struct Journal {
  std::string image;    // absolute
  std::string overlay;  // IMAGE-journal
  std::string record;   // IMAGE-journal-commit
  std::string copy;     // IMAGE-journal-image, for formats committed whole
  std::string format;   // the image's format, as qemu-img names it
  std::string sizing;   // a VHD's force_size_calc, or empty
  int image_fd = -1;    // open for writing, held by the caller
  bool in_place = false;
  // Where QEMU cannot open the image itself: the block nodes that show it
  // as node "image", read-only (bridge.h), and the chain its commit
  // writes into.
  std::vector<std::string> image_nodes;
  VhdChain chain;
};

// Sets up `journal` for the image at `image` (an absolute path), open as
// `image_fd`.
void JournalFor(const std::string& image, int image_fd,
                const std::string& format, const std::string& sizing,
                Journal* journal);

// Settles what an earlier run left: commits a committed journal made over
// this very image, deletes anything else. False when a committed journal
// could not be committed; it is then kept for a later run.
bool SettleJournal(const Journal& journal);

// Whether SettleJournal would commit a journal an earlier run left.
bool JournalWaits(const Journal& journal);

// Creates an empty journal of `size` bytes over the image; false when it
// cannot be made.
bool BeginJournal(const Journal& journal, uint64_t size);

// The block nodes that show the image through the journal, for a view.
std::vector<std::string> JournalBlockdevs(const Journal& journal);
// The block node that shows the image alone, read-only, for a view.
std::vector<std::string> ImageBlockdevs(const Journal& journal);

enum CommitResult {
  kCommitDone,     // the image holds the changes; the journal is gone
  kCommitWaits,    // past the commit point: the journal waits, committed
  kCommitDropped,  // not durable before the commit point: all discarded
};

// Syncs the journal, passes the commit point and commits it.
CommitResult CommitJournal(const Journal& journal);

// Deletes the journal, committed or not.
void DiscardJournal(const Journal& journal);

#endif  // DOSSETUP_DISKIMAGE_JOURNAL_H_
