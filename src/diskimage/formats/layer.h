// The disk formats this program reads and writes itself, since QEMU
// cannot write them in place (or misreads them): each is a small table of
// functions, as QEMU's block drivers are, and the chain (chain.h), the
// bridge that shows a chain to QEMU (bridge.h), the journal's records and
// the commit (commit.h) are written once for all of them.
//
// A layer is one file of a chain: it holds some of the disk's sectors and
// reads the rest through its parent, or as zeros when it has none. A
// format recognises its files by their magic, reads and bounds their
// headers (so that no header makes this program take much memory, or
// write past what the format owns), names where its parent lies, says
// where a sector lives, and writes a commit's changes in the order that
// keeps its file whole at every moment: a commit cut anywhere leaves the
// old sectors or the new ones, and writing the same changes again leaves
// the same file.
#ifndef DOSSETUP_DISKIMAGE_FORMATS_LAYER_H_
#define DOSSETUP_DISKIMAGE_FORMATS_LAYER_H_

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

const uint64_t kSector = 512;

struct LayerFormat;

// One file of a chain, as its format reads it. The fields below `table`
// are each format's to use as its own file says.
struct Layer {
  const LayerFormat* format = nullptr;
  int fd = -1;        // not owned
  std::string path;   // absolute
  uint64_t size = 0;  // of the disk, in bytes, a whole number of sectors
  bool has_parent = false;
  // The QEMU driver that reads this file alone as this program does, as
  // a chain's bottom, with its options ("raw,offset=4096,size=..."), or
  // empty where QEMU cannot; and whether QEMU also writes it in place.
  std::string qemu_driver;
  bool qemu_writes = false;
  std::string id;         // what a child names this layer by
  std::string parent_id;  // what it names its parent by
  // Most formats keep a table with one entry a block of `block` bytes; a
  // block's `bitmap` bytes of sector bits (none where 0) precede its data.
  // The table, `entries` 32-bit numbers at `table_at` (big-endian where
  // `big_endian`), is read a chunk at a time (TableEntry, ForEachEntry),
  // never whole: a header may claim billions of entries.
  uint64_t block = 0;
  uint64_t bitmap = 0;
  uint64_t entries = 0;
  bool big_endian = false;
  uint64_t table_at = 0;    // where the table lies in the file
  uint64_t data_at = 0;     // where blocks begin, for formats that count
  uint64_t allocated = 0;   // blocks stored, for formats that count them
  std::string header;       // as stored
  std::string footer;       // as stored at the end, for formats with one
  uint64_t used_end = 0;    // past everything the format owns
  std::string saved_state;  // why the file must be left alone, if it must
  // The bitmap read last, since a block's runs read it again and again.
  mutable uint64_t cached_block = UINT64_MAX;
  mutable std::string cached_bitmap;
  // The chunk of the table read last.
  mutable uint64_t cached_chunk = UINT64_MAX;
  mutable std::string cached_entries;
  // Where the file was last found to hold a hole, and data (StoredHole).
  mutable uint64_t hole_from = 0, hole_to = 0, data_from = 0, data_to = 0;
};

// Where the bytes of a disk's offset live.
enum LayerSource {
  kInLayer,     // in this layer's file
  kBelowLayer,  // in its parent, or zeros when it has none
  kZeros,       // zeros, whatever the parent holds
  kUnreadable,  // a read of the layer's own metadata failed
};

// Where a layer's emulator looks for its parent: `decisive` places in
// order, the first that holds a file deciding (a file there that is not
// the parent is refused); failing all, among `scanned` files, the one its
// id names.
struct ParentPlaces {
  std::vector<std::string> decisive;
  std::vector<std::string> scanned;
  std::string unnamed;  // why none can be found here, where none is named
};

// What a commit changes in a layer: by block, the runs of sectors whose
// bytes change (first sector of the disk, count), and a reader of the
// disk as the commit leaves it (the new bytes where they change, else what
// the chain shows).
struct LayerChanges {
  std::map<uint64_t, std::vector<std::pair<uint64_t, uint64_t>>> blocks;
  std::function<bool(uint64_t offset, uint64_t size, char* out)> read_new;
};

struct LayerFormat {
  const char* name;  // as journals record it
  // Whether `fd`, at `path`, holds a file this format must read itself, by
  // its magic (or, where its emulator knows it so, its name): one QEMU
  // cannot write in place, or misreads.
  bool (*claims)(int fd, const std::string& path);
  // Reads and bounds the layer `layer->fd` holds, any kind of this format;
  // false, with the reason in a few words, for one this program cannot
  // read, or whose metadata names space the format does not own.
  bool (*open)(Layer* layer, std::string* why);
  // Where the parent of `layer`, which has one, may be.
  ParentPlaces (*parent_places)(const Layer& layer);
  // The format its parent is in (null: this one), and whether `parent` is
  // the one `child` names; `why` says how it is not.
  const LayerFormat* parent_format;
  bool (*is_parent)(const Layer& child, const Layer& parent, std::string* why);
  // Where the bytes at `offset` live, and for how many bytes from there
  // alike (`*run`, at least a sector); `*at` their place in the file.
  LayerSource (*find)(const Layer& layer, uint64_t offset, uint64_t* run,
                      uint64_t* at);
  // Writes `changes` into `layer` in the order the format needs to stay
  // whole; false when a read, a write or a sync failed.
  bool (*write)(Layer* layer, const LayerChanges& changes);
  // Whether `changes` can all be placed in `layer` (null: always); `why`
  // says how not. Asked before the commit point, so that a commit never
  // starts that cannot end.
  bool (*fits)(const Layer& layer, const LayerChanges& changes,
               std::string* why);
};

// The formats, in the order they are tried.
extern const LayerFormat kVhdFormat;
extern const LayerFormat kVdiFormat;
extern const LayerFormat kRedologFormat;
extern const LayerFormat kSparseFormat;
extern const LayerFormat kHdiFormat;
extern const LayerFormat kHdxFormat;
extern const LayerFormat kFlatFormat;  // an undoable disk's base
const LayerFormat* const* LayerFormats();

// The name of the Bochs sparse layer below the one at `path`, by Bochs'
// rule (its last character one less, where that gives a digit; no dot
// needed), whether or not a file lies there; "" where there is none.
std::string SparseLayerBelow(const std::string& path);

// What Bochs checks an undoable disk's redolog against, of the disk at
// `path`, open as `fd`, taken for its base: the size Bochs gives it (0
// where it takes none), and its modification time as Bochs stamps it.
uint64_t BochsBaseSize(int fd, const std::string& path);
uint32_t BochsTimeStamp(int fd);

// The format that claims `fd`'s file at `path`, or null.
const LayerFormat* ClaimingFormat(int fd, const std::string& path);

// Entry `index` of `layer`'s table, read through a cached chunk; false
// when it cannot be read.
bool TableEntry(const Layer& layer, uint64_t index, uint32_t* entry);

// Hands every entry of `layer`'s table to `each` in order, read in chunks
// of a bounded size; false when a chunk cannot be read whole, or `each`
// says to stop by returning false.
bool ForEachEntry(
    const Layer& layer,
    const std::function<bool(uint64_t index, uint32_t entry)>& each);

// Opens `fd` (at `path`) as a layer of `format`.
bool OpenLayer(const LayerFormat* format, int fd, std::string path,
               Layer* layer, std::string* why);

// A write of a commit into a layer (the stops of tests fall among them).
bool LayerWriteAt(int fd, const char* data, size_t size, uint64_t at);

// Writes the changed runs of `block` (of `block_size` bytes) in place, its
// data at `data` in the layer's file.
bool WriteRunsInPlace(const Layer& layer, const LayerChanges& changes,
                      uint64_t block, uint64_t data);

// Writes each of `entries` (a block, its 32-bit entry) into the table at
// `layer.table_at`, as the layer stores them, then syncs.
bool WriteTableEntries(const Layer& layer,
                       const std::map<uint64_t, uint32_t>& entries);

// Whether `parent` is the layer `child` names by its id (`id_name` says
// what the format calls it).
bool IdNamesParent(const Layer& child, const Layer& parent, const char* id_name,
                   std::string* why);

// Formats whose every stored block holds the whole block, with no sector
// bitmap (VDI, Bochs' sparse disk): stored block `index` lies at `data_at`
// + index × (`bitmap` + `block`), its data `bitmap` bytes on (a VDI's
// extra bytes; none where 0). A table entry of kNoBlock reads from the
// parent, one of `zero` as zeros (kNoBlock where the format has none).
const uint32_t kNoBlock = 0xFFFFFFFF;
LayerSource FindWholeBlock(const Layer& layer, uint32_t zero, uint64_t offset,
                           uint64_t* run, uint64_t* at);

// Where each block of `changes` that such a layer lacks is stored, by
// block: first where a block is stored but named by no entry (as a commit
// cut before its entries leaves one), then past `allocated`. False when
// the table cannot be read.
bool PlaceWholeBlocks(const Layer& layer, const LayerChanges& changes,
                      uint32_t zero, std::map<uint64_t, uint32_t>* added);

// Checks, streaming `layer`'s table, that each entry (but `free_a` and
// `free_b`, which name no block) names a block below `counted` (else
// `texts[0]`) that the file holds, below `held` (else `texts[1]`), and no
// block twice (else `texts[2]`). The smaller of `counted` and `held` is
// at most kMostStored, so that the marks stay small.
const uint64_t kMostStored = uint64_t{1} << 25;
bool CheckWholeBlocks(const Layer& layer, uint32_t free_a, uint32_t free_b,
                      uint64_t counted, uint64_t held,
                      const char* const texts[3], std::string* why);

// Writes `changes` into such a layer, unsynced: the runs of blocks it
// stores in place, and each block of `added` whole (what the chain shows
// with the run's bytes) where it is placed.
bool WriteWholeBlocks(const Layer& layer, const LayerChanges& changes,
                      const std::map<uint64_t, uint32_t>& added);

// The `size`-byte sector bitmap at `at` of `layer`'s block `block`, read
// once for all its runs; null when it cannot be read.
const std::string* BlockBitmap(const Layer& layer, uint64_t block, uint64_t at,
                               uint64_t size);

// Where the run of sectors alike in `bitmap` from `first` (up to `end`)
// ends, `*own` their bit; bits count from each byte's most significant bit,
// or its least where `lsb_first`.
uint64_t BitRun(const std::string& bitmap, uint64_t first, uint64_t end,
                bool lsb_first, bool* own);

// Whether `layer`'s file holds no data for `size` bytes from `at` (a hole,
// or past its end), which reads as zeros: as SEEK_DATA and SEEK_HOLE tell,
// their answer kept, so that a table naming millions of blocks in holes
// costs a few calls, not one a block.
bool StoredHole(const Layer& layer, uint64_t at, uint64_t size);

// Reads stored data at `at`; what lies past the file's end reads as zeros.
bool ReadStored(int fd, uint64_t at, char* out, uint64_t size);

// The size of the file `fd` holds, or 0.
uint64_t FileSize(int fd);

// `bytes` rounded up to whole sectors.
uint64_t RoundToSector(uint64_t bytes);

#endif  // DOSSETUP_DISKIMAGE_FORMATS_LAYER_H_
