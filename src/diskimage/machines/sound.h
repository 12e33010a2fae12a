// A machine's sound card as its emulator sets it up, checked against the
// BLASTER line the program writes (fixed_texts.h): DOS programs look for
// the card where that line says, and a card elsewhere, or none, leaves
// them silent or waiting for an interrupt that never comes. Each reader
// (reader.h) says where its emulator puts the card and how its file
// moves it; every line the check says is made here. The machine file is
// only read: changing it is the user's to do, and an emulator may rewrite
// it on exit.
#ifndef DOSSETUP_DISKIMAGE_MACHINES_SOUND_H_
#define DOSSETUP_DISKIMAGE_MACHINES_SOUND_H_

#include <stddef.h>

#include <string>
#include <string_view>
#include <vector>

// What the BLASTER line says: the card's port, IRQ, 8-bit DMA and type
// (T1 Sound Blaster, T2 Pro, T3 2.0, T4 Pro 2, T5 Pro MCV, T6 16).
struct Blaster {
  long port = 0, irq = 0, dma = 0, type = 0;
};
const Blaster& BlasterLine();

// A change to a machine file: `set` in `in` ("irq=5" in "[sblaster]"), or,
// with `in` empty, a whole step ("add <sound model='sb16'/> to ...").
// Empty where the file cannot make it.
struct SoundFix {
  std::string set, in;
};

enum SoundKind {
  kSoundUnsaid,  // the file cannot say (a card set up elsewhere): nothing
                 // is claimed
  kSoundNone,    // no Sound Blaster
  kSoundCard,
};

struct SoundCard {
  SoundKind kind = kSoundUnsaid;
  std::string emulator;  // "DOSBox-X", for the lines
  // "Sound Blaster 16"; for none, what the machine has instead, or "".
  std::string name;
  long type = 0;                       // the T it answers to
  long port = -1, irq = -1, dma = -1;  // -1: none assigned
  // How the file moves each; and how it gets a card where the BLASTER
  // line says, for a machine without one or with one the file cannot move.
  SoundFix set_port, set_irq, set_dma, set_card;
};

// What a run says of `card`: `*agrees` (a verbose line) where it is where
// the BLASTER line says, else `*differs` (for standard error): where it
// is, and what to change in the file; neither where the file cannot say.
void SaySoundCard(const SoundCard& card, std::string* agrees,
                  std::string* differs);

// Of a machine's Sound Blasters, the one where the BLASTER line says,
// else the first; null where there are none.
const SoundCard* ChosenCard(const std::vector<SoundCard>& cards);

// The number at the start of `text` as C's strtol reads it in `base` (0:
// by its prefix, 0x or 0), blanks first skipped, `width` characters at
// most after them; false, `*value` 0, where no digit comes.
bool LeadingNumber(std::string_view text, int base, long* value,
                   size_t width = 64);
// The whole of `text` as a number in `base`; false where anything else is
// in it.
bool WholeNumber(std::string_view text, int base, long* value);

// The T of a card whose DSP answers `version` (0x0405: 4.05), as DOS
// programs tell the cards apart: 4 a 16, 3.01 a Pro 2, 3.00 a Pro, 2.01
// a 2.0, older a first Sound Blaster.
long DspType(long version);

// A Sound Blaster 16 whose DSP answers `version`, which `fix` sets back:
// its T, name and the change that makes it one the BLASTER line serves.
void SetDspVersion(long version, const SoundFix& fix, SoundCard* card);

// `card` made a Sound Blaster 16 at the resources the card itself starts
// on (port 220, IRQ 5, DMA 1), where an emulator gives it no others.
void SetSoundBlaster16(SoundCard* card);

// `value` in hexadecimal, as the BLASTER line writes ports ("220").
std::string Hex(long value);

#endif  // DOSSETUP_DISKIMAGE_MACHINES_SOUND_H_
