#include "diskimage/spawn.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "diskimage/steps.h"

namespace {

// Pointers to each string's text, then a null, as exec wants them.
std::vector<char*> ExecVector(std::vector<std::string>& words) {
  std::vector<char*> pointers;
  pointers.reserve(words.size() + 1);
  for (std::string& word : words) pointers.push_back(word.data());
  pointers.push_back(nullptr);
  return pointers;
}

std::string helper_folder;

}  // namespace

void SetHelperFolder(const std::string& folder) {
  helper_folder = folder;
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

pid_t StartChild(const std::string& program, std::vector<std::string> argv,
                 std::vector<std::string> env, const ChildOptions& options) {
  std::vector<char*> arguments = ExecVector(argv);
  std::vector<char*> envp = ExecVector(env);
  const char* folder = helper_folder.empty() ? nullptr : helper_folder.c_str();
  int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null_fd < 0) return -1;
  int out_fd = options.out_fd >= 0 ? options.out_fd : null_fd;
  pid_t parent = getpid();
  pid_t child = fork();
  if (child == 0) {
    // Only async-signal-safe calls from here on. The sources move above
    // the standard descriptors first, so that placing one never overwrites
    // another.
    int in = fcntl(null_fd, F_DUPFD_CLOEXEC, 10);
    int out = fcntl(out_fd, F_DUPFD_CLOEXEC, 10);
    int extra = options.extra_fd < 0
                    ? -1
                    : fcntl(options.extra_fd, F_DUPFD_CLOEXEC, 10);
    bool ok = in >= 0 && out >= 0 && (options.extra_fd < 0 || extra >= 0) &&
              setpgid(0, 0) == 0 &&
              prctl(PR_SET_PDEATHSIG, options.death_signal) == 0 &&
              getppid() == parent && (!folder || chdir(folder) == 0) &&
              dup2(in, 0) == 0 && dup2(out, 1) == 1 && dup2(in, 2) == 2 &&
              (extra < 0 || dup2(extra, 3) == 3);
    if (ok) execve(program.c_str(), arguments.data(), envp.data());
    _exit(127);
  }
  close(null_fd);
  return child;
}

void PauseMilliseconds(int milliseconds) {
  struct timespec pause = {milliseconds / 1000,
                           (milliseconds % 1000) * 1000000L};
  nanosleep(&pause, nullptr);
}

int WaitChild(pid_t pid, int milliseconds) {
  for (int waited = 0;; waited += 5) {
    int status;
    pid_t done = waitpid(pid, &status, milliseconds < 0 ? 0 : WNOHANG);
    if (done == pid) {
      if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
      return WEXITSTATUS(status);
    }
    if (done < 0 && errno != EINTR) return kNotStarted;
    if (done == 0) {
      if (waited >= milliseconds) return kStillRunning;
      PauseMilliseconds(5);
    }
  }
}

int RunProgram(const std::vector<std::string>& argv,
               const std::vector<std::string>& env, std::string* out,
               int out_fd, int extra_fd) {
  std::string program = FindProgram(argv[0].c_str());
  if (program.empty()) return kNotStarted;
  int pipe_fds[2] = {-1, -1};
  if (out && pipe2(pipe_fds, O_CLOEXEC) != 0) return kNotStarted;
  ChildOptions options;
  options.out_fd = out ? pipe_fds[1] : out_fd;
  options.extra_fd = extra_fd;
  options.death_signal = SIGKILL;
  pid_t child = StartChild(program, argv, env, options);
  if (child > 0) StepHit();
  if (out) {
    close(pipe_fds[1]);
    out->clear();
    char buffer[4096];
    ssize_t count;
    while (child > 0 &&
           ((count = read(pipe_fds[0], buffer, sizeof buffer)) > 0 ||
            (count < 0 && errno == EINTR))) {
      if (count > 0) out->append(buffer, static_cast<size_t>(count));
    }
    close(pipe_fds[0]);
  }
  if (child < 0) return kNotStarted;
  int status = WaitChild(child);
  // exec failed: the program could not be run.
  return status == 127 ? kNotStarted : status;
}
