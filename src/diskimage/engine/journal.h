// Changes to a disk image through a journal beside it, so that a run cut
// short at any moment leaves the image as it was, or (after the next run
// settles the journal) as the run would have left it.
//
// The journal, IMAGE-journal, is a qcow2 overlay whose backing file is the
// image, never written while the run works. Once the run's changes are
// complete and synced, IMAGE-journal-commit records the image it was made
// over (file system, inode, size, modification time), written whole and renamed
// into place: that rename is the commit point. QEMU's own commit then
// writes the changed clusters (into a raw image the program writes them
// itself, as QEMU would), and both files go once that is synced. A
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
// - The formats of the program's own (a differencing VHD...) are written
//   in place too, by the program's own commit (commit.h), whose every step
//   can be made again; QEMU never opens them, so their journal names no
//   backing file.
// A commit in place can be cut, and an emulator started on the image
// before the next run can write to it. So the record also keeps a digest
// of each sector the commit writes, as it was before; a run that finds a
// commit cut first checks that every such sector still holds its old
// bytes or its new ones, and otherwise writes nothing and keeps the
// journal (its line says so).
// - Every other format (VDI, VHD, VMDK...) keeps metadata that a cut
//   commit can leave torn beyond repair. Its commit goes into a copy of
//   the image, IMAGE-journal-image (a reflink where the file system has
//   them), synced and renamed over the image; the image itself is never
//   written, so a cut commit is simply made again.
//
// Every QEMU tool opens the image without locking: the caller holds it
// with a lock of its own throughout.
#ifndef DOSSETUP_DISKIMAGE_ENGINE_JOURNAL_H_
#define DOSSETUP_DISKIMAGE_ENGINE_JOURNAL_H_

#include <stdint.h>

#include <string>
#include <vector>

#include "diskimage/formats/chain.h"
#include "diskimage/qemu/view.h"

struct Journal {
  std::string image;    // absolute
  std::string overlay;  // IMAGE-journal
  std::string record;   // IMAGE-journal-commit
  std::string copy;     // IMAGE-journal-image, for formats committed whole
  std::string format;   // the image's format, as qemu-img or layer.h names it
  std::string sizing;   // a VHD's force_size_calc, or empty
  int image_fd = -1;    // open for writing, held by the caller
  bool in_place = false;
  // Where QEMU cannot open the image itself: the block nodes that show it
  // as node "image", read-only (bridge.h); for a format of the program's
  // own, the chain its commit writes into (the caller's).
  std::vector<std::string> image_nodes;
  Chain* chain = nullptr;
  // A view of the image alone that cannot write, where the caller has one
  // open (else the commit opens its own where it needs one), closed before
  // anything writes the image or the files it names.
  RawView* image_view = nullptr;
};

// Sets up `journal` for the image at `image` (an absolute path), open as
// `image_fd`, in `format` (qemu-img's name), or in a format of the
// program's own where `chain` is given.
void JournalFor(const std::string& image, int image_fd,
                const std::string& format, const std::string& sizing,
                Journal* journal, Chain* chain = nullptr);

// Settles what an earlier run left: commits a committed journal made over
// this very image, deletes anything else. False when a committed journal
// could not be committed; it is then kept for a later run, and `why` says
// so where more than that is to be said.
bool SettleJournal(const Journal& journal, std::string* why);

// Whether SettleJournal would commit a journal an earlier run left.
bool JournalWaits(const Journal& journal);

// Makes the journal's file, empty, beside the image; false when it cannot.
bool MakeJournalFile(const Journal& journal);

// Makes that file an empty journal of `size` bytes over the image as node
// "image" of `view` shows it (view.h), and shows the disk through it
// there; false when it cannot, and then the file is gone.
bool BeginJournal(const Journal& journal, RawView* view, uint64_t size);

// The block nodes that show the image alone, read-only, for a view: node
// "image", and node "disk" over it.
std::vector<std::string> ImageBlockdevs(const Journal& journal);

enum CommitResult {
  kCommitDone,     // the image holds the changes; the journal is gone
  kCommitWaits,    // past the commit point: the journal waits, committed
  kCommitDropped,  // not durable before the commit point: all discarded
  kCommitRefused,  // the image cannot take the changes (`why` says how):
                   // all discarded before the commit point
};

// Syncs the journal, passes the commit point and commits it.
CommitResult CommitJournal(const Journal& journal, std::string* why);

// Deletes the journal, committed or not.
void DiscardJournal(const Journal& journal);

#endif  // DOSSETUP_DISKIMAGE_ENGINE_JOURNAL_H_
