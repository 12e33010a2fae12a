#include "platform/host/profile.h"

#include "ascii.h"
#include "lines.h"

namespace {

std::string Trim(const std::string& text) {
  size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

}  // namespace

bool FindIniValue(const std::string& text, const char* section, const char* key,
                  std::string* value) {
  std::string wanted_section = Trim(section);
  std::string wanted_key = Trim(key);
  bool seen_section = false;
  bool in_section = false;
  for (std::string line : SplitLines(text)) {
    line = Trim(line);
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      // Only the first section of that name is searched.
      if (in_section) return false;
      size_t close = line.find(']');
      std::string name = Trim(line.substr(
          1, close == std::string::npos ? std::string::npos : close - 1));
      in_section = !seen_section && SameIgnoringAsciiCase(name, wanted_section);
      seen_section = seen_section || in_section;
      continue;
    }
    if (!in_section) continue;
    size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    if (SameIgnoringAsciiCase(Trim(line.substr(0, equals)), wanted_key)) {
      *value = Trim(line.substr(equals + 1));
      return true;
    }
  }
  return false;
}

std::string Unquote(const std::string& value) {
  if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') &&
      value.back() == value[0]) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}
