#include "platform/host/ini.h"

#include <unistd.h>

#include "ascii.h"
#include "platform/host/drive.h"

namespace {

const size_t kReadLimit = 1 << 20;

std::string Trim(const std::string& text) {
  size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

}  // namespace

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(at, end - at));
    if (!lines.back().empty() && lines.back().back() == '\r') {
      lines.back().pop_back();
    }
    at = end + 1;
  }
  return lines;
}

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

bool ReadDriveFile(const char* windows_path, std::string* text) {
  text->clear();
  std::string relative;
  if (MapWindowsPath(windows_path, false, &relative) != kMapped) return false;
  int fd = Drive().open_read(relative);
  if (fd < 0) return false;
  char buffer[16 * 1024];
  bool ok = true;
  while (text->size() < kReadLimit) {
    ssize_t count = read(fd, buffer, sizeof buffer);
    if (count < 0) ok = false;
    if (count <= 0) break;
    text->append(buffer, static_cast<size_t>(count));
  }
  close(fd);
  return ok;
}
