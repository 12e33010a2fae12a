// libFuzzer target: the fuzzer's bytes become autoexec.bat, dosstart.bat
// or kestiv.ini on a scratch drive (tmpfs where there is one), the real
// update rewrites it through the host layer, and the result is checked
// against a plain model of the text rules and against the invariants a
// user relies on: a second run changes nothing, the file ends with its
// lines, every LF is stored after a CR, no kept line holds the removed
// text, and the kept lines stay in order with their bytes intact.
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "files/batch.h"
#include "files/directories.h"
#include "files/settings.h"
#include "platform/host/drive/drive_c.h"

namespace {

std::string root;

void Die(const char* what) {
  fprintf(stderr, "invariant broken: %s\n", what);
  abort();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0 || write(fd, bytes.data(), bytes.size()) !=
                    static_cast<ssize_t>(bytes.size())) {
    Die("cannot write the input");
  }
  close(fd);
}

std::string ReadFile(const std::string& path) {
  std::string bytes;
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) Die("the target is gone");
  char buffer[65536];
  ssize_t count;
  while ((count = read(fd, buffer, sizeof buffer)) > 0) {
    bytes.append(buffer, static_cast<size_t>(count));
  }
  close(fd);
  return bytes;
}

void Setup() {
  const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  std::string pattern = std::string(base) + "/dossetup-fuzz-XXXXXX";
  if (!mkdtemp(pattern.data())) Die("mkdtemp");
  root = pattern;
  mkdir((root + "/WINDOWS").c_str(), 0755);
  mkdir((root + "/WINDOWS/SYSTEM").c_str(), 0755);
  WriteFile(root + "/WINDOWS/WIN.INI", "[intl]\r\nsLanguage=deu\r\n");
  HostChooseDriveC(root.c_str());
  snprintf(WindowsDirShort, sizeof WindowsDirShort, "C:\\WINDOWS");
  snprintf(SystemDirShort, sizeof SystemDirShort, "C:\\WINDOWS\\SYSTEM");
  atexit([] {
    std::string command = "rm -rf '" + root + "'";
    if (system(command.c_str()) != 0) fprintf(stderr, "cleanup failed\n");
  });
}

// The model of reading: stop at 0x1A, CR LF reads as LF, lines keep LF.
std::vector<std::string> ModelLines(const std::string& bytes) {
  std::string text;
  for (size_t i = 0; i < bytes.size() && bytes[i] != 0x1A; ++i) {
    if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') {
      continue;
    }
    text += bytes[i];
  }
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    size_t lf = text.find('\n', at);
    size_t end = lf == std::string::npos ? text.size() : lf + 1;
    lines.push_back(text.substr(at, end - at));
    at = end;
  }
  return lines;
}

std::string ModelStore(const std::string& text) {
  std::string bytes;
  for (char c : text) {
    if (c == '\n') bytes += '\r';
    bytes += c;
  }
  return bytes;
}

bool ModelHolds(const std::string& line, const std::string& text) {
  if (text.size() > 255) return line.find(text) != std::string::npos;
  for (size_t at = 0; at < line.size(); at += 255) {
    if (line.substr(at, 255).find(text) != std::string::npos) return true;
  }
  return false;
}

struct Target {
  const char* file;  // on the drive
  int (*update)();
  std::vector<std::string> removed;  // texts whose lines go
  std::string tail;                  // the lines it must end with
  bool batch;                        // the line end test looks at what was read
};

void CheckStored(const std::string& bytes) {
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == '\n' && (i == 0 || bytes[i - 1] != '\r')) {
      Die("an LF not stored after a CR");
    }
  }
}

std::string Rewrite(const Target& target, const std::string& input) {
  std::string path = root + "/" + target.file;
  WriteFile(path, input);
  if (target.update() == 0) Die("the update reported nothing done");
  if (access((path.substr(0, path.size() - 3) + "tmp").c_str(), F_OK) == 0) {
    Die("a temporary file was left");
  }
  return ReadFile(path);
}

void Check(const Target& target, const std::string& input) {
  std::vector<std::string> lines = ModelLines(input);
  std::string kept;
  for (const std::string& line : lines) {
    bool drop = false;
    for (const std::string& text : target.removed) {
      drop = drop || ModelHolds(line, text);
    }
    if (!drop) kept += line;
  }
  std::string expected = kept;
  bool needs_lf = target.batch ? !lines.empty() && lines.back().back() != '\n'
                               : !kept.empty() && kept.back() != '\n';
  if (needs_lf) expected += '\n';
  expected = ModelStore(expected + target.tail);

  std::string output = Rewrite(target, input);
  if (output != expected) Die("the output differs from the model");
  CheckStored(output);
  std::string tail = ModelStore(target.tail);
  if (output.size() < tail.size() ||
      output.compare(output.size() - tail.size(), tail.size(), tail) != 0) {
    Die("the output does not end with its lines");
  }
  // Kept lines: the input's lines, in order, bytes intact, none holding
  // a removed text but the last, whose new line end may complete one.
  std::vector<std::string> out_lines = ModelLines(output);
  size_t tail_lines = ModelLines(tail).size();
  size_t next = 0;
  for (size_t i = 0; i + tail_lines < out_lines.size(); ++i) {
    const std::string& line = out_lines[i];
    bool last = i + tail_lines + 1 == out_lines.size();
    for (const std::string& text : target.removed) {
      if (!last && ModelHolds(line, text)) Die("a kept line holds the text");
    }
    while (next < lines.size() && lines[next] != line &&
           !(last && lines[next] + "\n" == line)) {
      ++next;
    }
    if (next == lines.size()) Die("a kept line is not an input line in order");
    ++next;
  }
  // Run again on the result: nothing changes. The one exception: a copy
  // of the line that lacked only its line end is now a full copy and goes.
  std::string again = Rewrite(target, output);
  if (again != output) {
    if (!needs_lf || Rewrite(target, again) != again) {
      Die("a second run changed the file");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = (Setup(), true);
  (void)ready;
  if (size == 0) return 0;
  static const Target kTargets[] = {
      {"AUTOEXEC.BAT",
       UpdateAutoexecBat,
       {"SET  BLASTER=A220 I5  D1 T4\n"},
       "SET  BLASTER=A220 I5  D1 T4\n",
       true},
      {"WINDOWS/DOSSTART.BAT",
       UpdateDosstartBat,
       {"C:\\WINDOWS\\SYSTEM\\quorvel.exe /N\n"},
       "C:\\WINDOWS\\SYSTEM\\quorvel.exe /N\n",
       true},
      {"WINDOWS/SYSTEM/KESTIV.INI",
       UpdateSettingsFile,
       {"winpath95=", "Language="},
       "winpath95=C:\\WINDOWS\nLanguage=2\n",
       false},
  };
  const Target& target = kTargets[data[0] % 3];
  Check(target, std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
  return 0;
}
