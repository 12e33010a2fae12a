#include "diskimage/machines/sound.h"

#include <ctype.h>
#include <stdio.h>

#include "fixed_texts.h"

namespace {

// The cards each T names, for the lines.
const char* const kTypeNames[] = {
    "",
    "Sound Blaster",
    "Sound Blaster Pro",
    "Sound Blaster 2.0",
    "Sound Blaster Pro 2",
    "Sound Blaster Pro MCV",
    "Sound Blaster 16",
};

// How far along the cards a T is: a card serves a line whose T ranks as
// high as its own or lower (a 16 serves a Pro 2's programs, a 2.0 not a
// Pro's).
int Rank(long type) {
  static const int kRanks[] = {0, 1, 3, 2, 4, 4, 5};
  return type >= 1 && type <= 6 ? kRanks[type] : 0;
}

// The characters of `text` `Leading` reads as a number into `*value`.
size_t Leading(std::string_view text, int base, long* value, size_t width) {
  *value = 0;
  size_t at = 0;
  while (at < text.size() && isspace(static_cast<unsigned char>(text[at]))) {
    ++at;
  }
  size_t end = text.size() - at > width ? at + width : text.size();
  bool negative = false;
  if (at < end && (text[at] == '+' || text[at] == '-')) {
    negative = text[at++] == '-';
  }
  auto digit = [](char c) {
    return c >= '0' && c <= '9'   ? c - '0'
           : c >= 'a' && c <= 'z' ? c - 'a' + 10
           : c >= 'A' && c <= 'Z' ? c - 'A' + 10
                                  : 99;
  };
  if ((base == 0 || base == 16) && end - at > 2 && text[at] == '0' &&
      (text[at + 1] == 'x' || text[at + 1] == 'X') &&
      digit(text[at + 2]) < 16) {
    base = 16;
    at += 2;
  } else if (base == 0) {
    base = at < end && text[at] == '0' ? 8 : 10;
  }
  const unsigned long kCap = 1ul << 31;  // past any port or line: capped
  unsigned long magnitude = 0;
  size_t start = at;
  for (; at < end && digit(text[at]) < base; ++at) {
    magnitude = magnitude >= kCap ? kCap : magnitude * base + digit(text[at]);
  }
  if (at == start) return 0;
  *value =
      negative ? -static_cast<long>(magnitude) : static_cast<long>(magnitude);
  return at;
}

Blaster ReadBlasterLine() {
  Blaster line;
  std::string_view text = kBlasterLine;
  text.remove_prefix(text.find('=') + 1);
  for (size_t at = 0; at < text.size(); ++at) {
    if (at > 0 && text[at - 1] != ' ') continue;
    std::string_view rest = text.substr(at + 1);
    switch (toupper(static_cast<unsigned char>(text[at]))) {
      case 'A':
        LeadingNumber(rest, 16, &line.port);
        break;
      case 'I':
        LeadingNumber(rest, 10, &line.irq);
        break;
      case 'D':
        LeadingNumber(rest, 10, &line.dma);
        break;
      case 'T':
        LeadingNumber(rest, 10, &line.type);
        break;
    }
  }
  return line;
}

// "a", "a and b", "a, b and c".
std::string Join(const std::vector<std::string>& parts) {
  std::string text;
  for (size_t i = 0; i < parts.size(); ++i) {
    text += (i == 0 ? "" : i + 1 == parts.size() ? " and " : ", ") + parts[i];
  }
  return text;
}

// "set a and b in p; c", the changes made in one place together.
std::string Fixes(const std::vector<SoundFix>& fixes) {
  std::vector<std::string> steps, sets;
  for (size_t i = 0; i < fixes.size(); ++i) {
    const SoundFix& fix = fixes[i];
    if (fix.in.empty()) {
      steps.push_back(fix.set);
      continue;
    }
    sets.push_back(fix.set);
    if (i + 1 == fixes.size() || fixes[i + 1].in != fix.in) {
      steps.push_back("set " + Join(sets) + " in " + fix.in);
      sets.clear();
    }
  }
  std::string text;
  for (const std::string& step : steps) {
    text += (text.empty() ? "" : "; ") + step;
  }
  return text;
}

// "DOSBox-X's", "Bochs'".
std::string Owner(const std::string& name) {
  return name + (!name.empty() && name.back() == 's' ? "'" : "'s");
}

void Add(std::vector<SoundFix>* fixes, const SoundFix& fix) {
  for (const SoundFix& made : *fixes) {
    if (made.set == fix.set && made.in == fix.in) return;
  }
  fixes->push_back(fix);
}

}  // namespace

const Blaster& BlasterLine() {
  static const Blaster line = ReadBlasterLine();
  return line;
}

const SoundCard* ChosenCard(const std::vector<SoundCard>& cards) {
  for (const SoundCard& card : cards) {
    std::string agrees, differs;
    SaySoundCard(card, &agrees, &differs);
    if (!agrees.empty()) return &card;
  }
  return cards.empty() ? nullptr : &cards.front();
}

bool LeadingNumber(std::string_view text, int base, long* value, size_t width) {
  return Leading(text, base, value, width) > 0;
}

bool WholeNumber(std::string_view text, int base, long* value) {
  size_t read = Leading(text, base, value, text.size());
  return read > 0 && read == text.size();
}

long DspType(long version) {
  return version >= 0x400   ? 6
         : version >= 0x301 ? 4
         : version >= 0x300 ? 2
         : version >= 0x201 ? 3
                            : 1;
}

void SetDspVersion(long version, const SoundFix& fix, SoundCard* card) {
  card->type = DspType(version);
  card->name = "Sound Blaster 16";
  card->set_card = fix;
  if (card->type < 6) {
    char text[64];
    snprintf(text, sizeof text, " with DSP version %ld.%02ld",
             (version >> 8) & 0xFF, version & 0xFF);
    card->name += text;
  }
}

void SetSoundBlaster16(SoundCard* card) {
  card->kind = kSoundCard;
  card->name = "Sound Blaster 16";
  card->type = 6;
  card->port = 0x220;
  card->irq = 5;
  card->dma = 1;
}

std::string Hex(long value) {
  char text[24];
  snprintf(text, sizeof text, "%lX", static_cast<unsigned long>(value));
  return text;
}

void SaySoundCard(const SoundCard& card, std::string* agrees,
                  std::string* differs) {
  agrees->clear();
  differs->clear();
  if (card.kind == kSoundUnsaid) return;
  const Blaster& line = BlasterLine();
  if (card.kind == kSoundNone) {
    *differs = Owner(card.emulator) + " machine has no Sound Blaster" +
               (card.name.empty() ? "" : " (" + card.name + ")") +
               ", the BLASTER line says one is at " + Hex(line.port) + ": " +
               Fixes({card.set_card});
    return;
  }
  struct Field {
    const char* what;
    long is, says;
    const SoundFix& fix;
  } fields[] = {
      {"port", card.port, line.port, card.set_port},
      {"IRQ", card.irq, line.irq, card.set_irq},
      {"DMA", card.dma, line.dma, card.set_dma},
  };
  // "on port 240 and IRQ 7", "has no DMA"; "port 220 and IRQ 5".
  std::vector<SoundFix> fixes;
  std::vector<std::string> on, lacks, says;
  for (const Field& field : fields) {
    if (field.is == field.says) continue;
    std::string what = field.what;
    auto text = [&](long value) {
      return what + " " + (what == "port" ? Hex(value) : std::to_string(value));
    };
    if (field.is < 0) {
      lacks.push_back("no " + what);
    } else {
      on.push_back(text(field.is));
    }
    says.push_back(text(field.says));
    Add(&fixes, field.fix.set.empty() ? card.set_card : field.fix);
  }
  std::string is = (on.empty() ? "" : "is on " + Join(on)) +
                   (on.empty() || lacks.empty() ? "" : ", and ") +
                   (lacks.empty() ? "" : "has " + Join(lacks));
  std::string name = Owner(card.emulator) + " " + card.name;
  if (Rank(card.type) < Rank(line.type)) {
    std::vector<SoundFix> all = {card.set_card};
    for (const SoundFix& fix : fixes) Add(&all, fix);
    std::string wanted = line.type >= 1 && line.type <= 6
                             ? kTypeNames[line.type]
                             : "Sound Blaster";
    *differs = name + " is older than the " + wanted + " the BLASTER line's T" +
               std::to_string(line.type) + " says" +
               (is.empty() ? "" : ", and " + is) + ": " + Fixes(all);
  } else if (!says.empty()) {
    // One place differs: "on IRQ 7, the BLASTER line says 5".
    std::string said = Join(says);
    if (says.size() == 1 && lacks.empty()) {
      said = said.substr(said.find(' ') + 1);
    }
    *differs = name + " " + is + ", the BLASTER line says " + said + ": " +
               Fixes(fixes);
  } else {
    *agrees = name + " is at port " + Hex(line.port) + ", IRQ " +
              std::to_string(line.irq) + ", DMA " + std::to_string(line.dma) +
              ", as the BLASTER line says";
  }
}
