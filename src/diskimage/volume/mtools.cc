#include "diskimage/volume/mtools.h"

#include "helpers/spawn.h"
#include "lines.h"

namespace {

// The start of each UTF-8 character of `line`, and its end last.
std::vector<size_t> CharacterStarts(const std::string& line) {
  std::vector<size_t> starts;
  for (size_t i = 0; i < line.size(); ++i) {
    if ((static_cast<unsigned char>(line[i]) & 0xC0) != 0x80) {
      starts.push_back(i);
    }
  }
  starts.push_back(line.size());
  return starts;
}

std::string Trimmed(const std::string& text) {
  size_t end = text.find_last_not_of(' ');
  return end == std::string::npos ? "" : text.substr(0, end + 1);
}

// One entry line of `mdir`: the short name's base in eight characters, a
// blank, its extension in three; then the size or <DIR>, the date, the
// time with a one-character suffix, and a blank and the long name if any.
bool ParseEntry(const std::string& line, MdirEntry* entry) {
  std::vector<size_t> at = CharacterStarts(line);
  if (at.size() < 13 || line[at[8]] != ' ') return false;
  std::string base = Trimmed(line.substr(0, at[8]));
  std::string extension = Trimmed(line.substr(at[9], at[12] - at[9]));
  size_t p = at[12];
  std::string fields[3];
  for (std::string& field : fields) {
    while (p < line.size() && line[p] == ' ') ++p;
    size_t start = p;
    while (p < line.size() && line[p] != ' ') ++p;
    field = line.substr(start, p - start);
  }
  if (base.empty() || fields[2].find(':') == std::string::npos) return false;
  entry->alias = extension.empty() ? base : base + "." + extension;
  entry->folder = fields[0] == "<DIR>";
  entry->name = p + 2 <= line.size() ? line.substr(p + 2) : "";
  if (entry->name.empty()) entry->name = entry->alias;
  return true;
}

}  // namespace

bool ParseMdirListing(const std::string& text,
                      std::vector<MdirEntry>* entries) {
  entries->clear();
  // Entry lines follow the "Directory for" heading and its blank line, and
  // end at the first summary line, which starts with a blank.
  bool in_entries = false;
  for (const std::string& line : SplitLines(text)) {
    if (!in_entries) {
      in_entries = line.compare(0, 14, "Directory for ") == 0;
      continue;
    }
    if (line.empty()) continue;
    if (line[0] == ' ') break;
    MdirEntry entry;
    if (!ParseEntry(line, &entry)) return false;
    if (entry.alias != "." && entry.alias != "..") entries->push_back(entry);
  }
  return in_entries;
}

bool RunMtools(const std::string& spec, const char* tool,
               const std::vector<std::string>& args,
               const RunOptions& options) {
  std::vector<std::string> words = {tool, "-i", spec};
  words.insert(words.end(), args.begin(), args.end());
  // A fixed locale, so that names beyond ASCII come and go as UTF-8
  // (another could show them as '_'), and nothing of what the user
  // configured for mtools.
  return RunProgram(
             words,
             HelperEnvironment("C.UTF-8", {"PATH", "TZ"},
                               {"HOME=/nonexistent", "MTOOLSRC=/dev/null",
                                "MTOOLS_SKIP_CHECK=1"}),
             options) == 0;
}
