#include "diskimage/mtools.h"

#include <stdlib.h>

#include "diskimage/spawn.h"

namespace {

// The child's environment: the search path, a fixed locale so that names
// beyond ASCII come and go as UTF-8 (another could show them as '_'), and
// nothing that tells mtools what the user configured.
std::vector<std::string> MtoolsEnvironment() {
  std::vector<std::string> env = {"HOME=/nonexistent", "MTOOLSRC=/dev/null",
                                  "MTOOLS_SKIP_CHECK=1", "LC_ALL=C.UTF-8"};
  for (const char* name : {"PATH", "TZ"}) {
    if (const char* value = getenv(name)) {
      env.push_back(std::string(name) + "=" + value);
    }
  }
  return env;
}

}  // namespace

bool RunMtools(const std::string& spec, const char* tool,
               const std::vector<std::string>& args, std::string* out,
               int out_fd, int extra_fd) {
  std::vector<std::string> words = {tool, "-i", spec};
  words.insert(words.end(), args.begin(), args.end());
  return RunProgram(words, MtoolsEnvironment(), out, out_fd, extra_fd) == 0;
}
