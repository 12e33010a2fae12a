#include "platform/host/spawn.h"

#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

std::vector<char*> ExecVector(std::vector<std::string>& words) {
  std::vector<char*> pointers;
  pointers.reserve(words.size() + 1);
  for (std::string& word : words) pointers.push_back(word.data());
  pointers.push_back(nullptr);
  return pointers;
}

std::string FindProgram(const char* name) {
  const char* path = getenv("PATH");
  std::string folders = path && *path ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= folders.size()) {
    size_t end = folders.find(':', start);
    if (end == std::string::npos) end = folders.size();
    std::string folder = folders.substr(start, end - start);
    std::string full = (folder.empty() ? "." : folder) + "/" + name;
    struct stat st;
    if (stat(full.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        access(full.c_str(), X_OK) == 0) {
      return full;
    }
    start = end + 1;
  }
  return "";
}

int RunProgram(const std::vector<std::string>& argv,
               const std::vector<std::string>& env, std::string* out,
               int out_fd) {
  std::string program = FindProgram(argv[0].c_str());
  if (program.empty()) return kNotStarted;
  std::vector<std::string> words = argv;
  std::vector<std::string> environment = env;
  std::vector<char*> arguments = ExecVector(words);
  std::vector<char*> envp = ExecVector(environment);

  int pipe_fds[2] = {-1, -1};
  if (out && pipe2(pipe_fds, O_CLOEXEC) != 0) return kNotStarted;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (out) {
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
  } else if (out_fd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  }
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t child;
  int spawned = posix_spawn(&child, program.c_str(), &actions, nullptr,
                            arguments.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (out) {
    close(pipe_fds[1]);
    out->clear();
    char buffer[4096];
    ssize_t count;
    while (spawned == 0 &&
           ((count = read(pipe_fds[0], buffer, sizeof buffer)) > 0 ||
            (count < 0 && errno == EINTR))) {
      if (count > 0) out->append(buffer, static_cast<size_t>(count));
    }
    close(pipe_fds[0]);
  }
  if (spawned != 0) return kNotStarted;
  int status;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return kNotStarted;
  }
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WEXITSTATUS(status);
}
