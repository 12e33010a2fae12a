// Test equipment for VirtualBox's differencing VDIs, written from the
// format's public description and kept apart from the program's own
// reader and writer: a writer of children as VirtualBox's sessions leave
// them (whole 1 MiB blocks, a block written all zeros entered as a zero
// block, the map and the data aligned to 1 MiB), a reader that composes a
// chain into a raw disk, the judge of a run, and a machine file whose
// registry nests a chain.
#ifndef DOSSETUP_TESTS_SUPPORT_VDI_CHAIN_H_
#define DOSSETUP_TESTS_SUPPORT_VDI_CHAIN_H_

#include <stdint.h>

#include <string>
#include <vector>

// Writes at `child` a differencing VDI over the VDI `parent` (whose disk
// holds the raw disk `before`) holding every block in which the raw disk
// `after` differs from `before`, and nothing else; its disk `size` bytes
// (0: the parent's), in blocks of `block` bytes each `extra` bytes after
// its slot's start. With `base`, a dynamic VDI that stands alone instead,
// its UUID `parent`'s.
struct VdiLayout {
  uint64_t size = 0;
  uint32_t block = 1 << 20;
  uint32_t extra = 0;
  bool base = false;
};
void WriteVdiChild(const std::string& parent, const std::string& child,
                   const std::string& before, const std::string& after,
                   const VdiLayout& layout = VdiLayout());

// The disk that `chain` (a child, its parent... down to a dynamic or
// fixed VDI) composes, written to the raw file `raw`, its first `size`
// bytes where that is given. False when a file is no VDI this reader
// knows.
bool ComposeVdiChain(const std::vector<std::string>& chain,
                     const std::string& raw, uint64_t size = 0);

// The UUID a VDI names itself by, as a machine file writes it: "{...}".
std::string VdiUuid(const std::string& vdi);

// Writes the machine file `vbox` of a machine named `name` whose registry
// nests `chain` (base first; locations as given, relative to the file's
// folder or absolute) and whose first IDE port holds the chain's last
// disk; `saved` gives it a state file, as a suspended machine has.
void WriteVbox(const std::string& vbox, const std::string& name,
               const std::vector<std::string>& chain, bool saved = false);

#endif  // DOSSETUP_TESTS_SUPPORT_VDI_CHAIN_H_
