// Test equipment for differencing VHDs, written from the format's public
// description and kept apart from the program's own reader and writer: a
// writer of children as an emulator's session leaves them (partial
// sector bitmaps, bits counted from each byte's most significant bit), and
// a reader that composes a chain into a raw disk, the judge of a run.
#ifndef DOSSETUP_TESTS_SUPPORT_VHD_CHAIN_H_
#define DOSSETUP_TESTS_SUPPORT_VHD_CHAIN_H_

#include <stdint.h>

#include <string>
#include <vector>

// Where a child says its parent is; an empty text is left out.
struct VhdLocators {
  std::string relative;  // W2ru, as Windows writes it: ".\parent.vhd"
  std::string absolute;  // W2ku: "C:\VMs\parent.vhd", or a path here
  std::string url;       // MacX: "file:///..."
  std::string name;      // the header's parent name
  // The bytes each locator reserves, as Windows counts them; 0: the
  // sectors its data takes, as older tools count them.
  uint64_t reserve = 0;
};

// Writes at `child` a differencing VHD over the VHD `parent` (whose disk
// holds the raw disk `before`) that holds every sector in which the raw
// disk `after` differs from `before`, and nothing else; `slack` bytes of
// space no table entry names lie before its footer, as other tools leave.
void WriteVhdChild(const std::string& parent, const std::string& child,
                   const std::string& before, const std::string& after,
                   const VhdLocators& locators, uint64_t slack = 0);

// The disk that `chain` (a child, its parent... down to a fixed or
// dynamic VHD) composes, written to the raw file `raw`. False when a file
// is no VHD this reader knows.
bool ComposeVhdChain(const std::vector<std::string>& chain,
                     const std::string& raw);

// Sectors whose bitmap byte, in every differencing disk of `chain` that
// holds their block, is all set or all clear: where a reader that takes a
// byte's bits together must still agree.
std::vector<bool> WholeBitmapBytes(const std::vector<std::string>& chain);

#endif  // DOSSETUP_TESTS_SUPPORT_VHD_CHAIN_H_
