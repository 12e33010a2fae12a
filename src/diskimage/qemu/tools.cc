#include "diskimage/qemu/tools.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "diskimage/formats/qcow2_map.h"
#include "helpers/spawn.h"
#include "lines.h"

namespace {

// Format names are plain words; anything else is refused.
bool IsFormatName(const std::string& format) {
  if (format.empty()) return false;
  for (char c : format) {
    bool word = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
                c == '-';
    if (!word) return false;
  }
  return true;
}

// The size in bytes at the end of a "virtual size: 2 GiB (2147483648
// bytes)" line.
uint64_t BytesInParentheses(const std::string& line) {
  size_t open = line.rfind('(');
  if (open == std::string::npos) return 0;
  return strtoull(line.c_str() + open + 1, nullptr, 10);
}

}  // namespace

std::string OptionValue(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    escaped += c;
    if (c == ',') escaped += ',';
  }
  return escaped;
}

std::vector<std::string> QemuEnvironment() {
  return HelperEnvironment("C", {"PATH"});
}

std::string ImageFolder(const std::string& image) {
  size_t slash = image.rfind('/');
  if (slash == std::string::npos) return "";
  return slash == 0 ? "/" : image.substr(0, slash);
}

int RunQemuTool(const std::string& image, const std::vector<std::string>& argv,
                std::string* out, const std::vector<std::string>& env) {
  RunOptions options;
  options.out = out;
  options.folder = ImageFolder(image);
  return RunProgram(argv, env, options);
}

bool FuseUsable() {
  if (access("/dev/fuse", R_OK | W_OK) != 0) return false;
  return geteuid() == 0 || !FindProgram("fusermount3").empty();
}

InfoResult ReadImageInfo(const std::string& image,
                         const std::string& driver_options, ImageInfo* info) {
  *info = ImageInfo();
  // A newline in the name could pass for a line of the report.
  if (image.find('\n') != std::string::npos) return kInfoUnreadable;
  // The file protocol, named: a ':' in the name never selects another.
  std::string text;
  int status = RunQemuTool(
      image,
      {"qemu-img", "info", "--image-opts",
       driver_options + "file.driver=file,file.locking=off,file.filename=" +
           OptionValue(image)},
      &text);
  if (status == kNotStarted) return kInfoNoQemuImg;
  if (status != 0) return kInfoUnreadable;
  for (const std::string& line : SplitLines(text)) {
    if (line.compare(0, 13, "file format: ") == 0) {
      info->format = line.substr(13);
    } else if (line.compare(0, 14, "virtual size: ") == 0) {
      info->virtual_size = BytesInParentheses(line);
    } else if (line.find("create type: streamOptimized") != std::string::npos) {
      info->stream_optimized = true;
    }
  }
  bool read = IsFormatName(info->format) && info->virtual_size > 0;
  return read ? kInfoRead : kInfoUnreadable;
}

// The number after `"key": ` in a line of qemu-img map's JSON, or -1.
static int64_t JsonNumber(const std::string& line, const char* key) {
  std::string field = std::string("\"") + key + "\": ";
  size_t at = line.find(field);
  if (at == std::string::npos) return -1;
  return strtoll(line.c_str() + at + field.size(), nullptr, 10);
}

static bool JsonTrue(const std::string& line, const char* key) {
  return line.find(std::string("\"") + key + "\": true") != std::string::npos;
}

std::string JsonString(const std::string& text) {
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      snprintf(escaped, sizeof escaped, "\\u%04x", c);
      quoted += escaped;
    } else {
      quoted += c;
    }
  }
  return quoted + "\"";
}

bool MapOwnExtents(const std::string& file,
                   std::vector<StoredExtent>* extents) {
  // Read here where its layout is QEMU's plain one, else by QEMU's map.
  int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  Qcow2Map mapped = fd >= 0 ? MapQcow2(fd, extents) : kQcow2Unreadable;
  if (fd >= 0) close(fd);
  if (mapped == kQcow2Mapped) return true;
  extents->clear();
  std::string text;
  // Its own clusters alone: the backing file it names is never opened.
  if (RunQemuTool(file,
                  {"qemu-img", "map", "--output=json",
                   "json:{\"driver\":\"qcow2\",\"backing\":null,\"file\":{"
                   "\"driver\":\"file\",\"locking\":\"off\",\"filename\":" +
                       JsonString(file) + "}}"},
                  &text) != 0) {
    return false;
  }
  bool ended = false;
  for (const std::string& line : SplitLines(text)) {
    // The list ends with "]": output cut short is no map.
    if (!line.empty() && line.back() == ']') ended = true;
    int64_t start = JsonNumber(line, "start");
    int64_t length = JsonNumber(line, "length");
    if (start < 0 || length <= 0 || !JsonTrue(line, "present")) continue;
    int64_t stored = JsonTrue(line, "data") ? JsonNumber(line, "offset") : -1;
    if (JsonTrue(line, "data") && stored < 0) return false;
    extents->push_back(
        {static_cast<uint64_t>(start), static_cast<uint64_t>(length), stored});
  }
  return ended;
}
