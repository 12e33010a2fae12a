#include "helpers/spawn.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "helpers/io.h"
#include "helpers/scratch.h"
#include "stops/steps.h"

namespace {

// Pointers to each string's text, then a null, as exec wants them.
std::vector<char*> ExecVector(std::vector<std::string>& words) {
  std::vector<char*> pointers;
  pointers.reserve(words.size() + 1);
  for (std::string& word : words) pointers.push_back(word.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

std::vector<std::string> HelperEnvironment(
    const char* locale, std::initializer_list<const char*> passed,
    std::initializer_list<const char*> set) {
  std::vector<std::string> env = {std::string("LC_ALL=") + locale};
  env.insert(env.end(), set.begin(), set.end());
  for (const char* name : passed) {
    if (const char* value = getenv(name)) {
      env.push_back(std::string(name) + "=" + value);
    }
  }
  return env;
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

std::map<std::string, int>& HelpersStarted() {
  static std::map<std::string, int> started;
  return started;
}

pid_t StartChild(const std::string& program, std::vector<std::string> argv,
                 std::vector<std::string> env, const ChildOptions& options) {
  std::string word = argv.empty() ? program : argv[0];
  if (word == "qemu-img" && argv.size() > 1) word += " " + argv[1];
  std::vector<char*> arguments = ExecVector(argv);
  std::vector<char*> envp = ExecVector(env);
  const char* folder =
      options.folder.empty() ? nullptr : options.folder.c_str();
  int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null_fd < 0) return -1;
  int out_fd = options.out_fd >= 0 ? options.out_fd : null_fd;
  int err_fd = options.err_fd >= 0 ? options.err_fd : null_fd;
  pid_t parent = getpid();
  pid_t child = fork();
  if (child == 0) {
    // Only async-signal-safe calls from here on. The sources move above
    // the standard descriptors first, so that placing one never overwrites
    // another.
    int in = fcntl(options.in_fd >= 0 ? options.in_fd : null_fd,
                   F_DUPFD_CLOEXEC, 10);
    int out = fcntl(out_fd, F_DUPFD_CLOEXEC, 10);
    int err = fcntl(err_fd, F_DUPFD_CLOEXEC, 10);
    int extra = options.extra_fd < 0
                    ? -1
                    : fcntl(options.extra_fd, F_DUPFD_CLOEXEC, 10);
    bool ok = in >= 0 && out >= 0 && err >= 0 &&
              (options.extra_fd < 0 || extra >= 0) && setpgid(0, 0) == 0 &&
              signal(SIGPIPE, SIG_DFL) != SIG_ERR &&
              prctl(PR_SET_PDEATHSIG, options.death_signal) == 0 &&
              getppid() == parent && (!folder || chdir(folder) == 0) &&
              dup2(in, 0) == 0 && dup2(out, 1) == 1 && dup2(err, 2) == 2 &&
              (extra < 0 || dup2(extra, 3) == 3);
    if (ok) execve(program.c_str(), arguments.data(), envp.data());
    _exit(127);
  }
  close(null_fd);
  if (child > 0) ++HelpersStarted()[word];
  return child;
}

void PauseMilliseconds(int milliseconds) {
  struct timespec pause = {milliseconds / 1000,
                           (milliseconds % 1000) * 1000000L};
  nanosleep(&pause, nullptr);
}

int WaitChild(pid_t pid, int milliseconds) {
  // Woken when the child ends rather than at the next poll, where the
  // kernel can say so.
  int ended =
      milliseconds > 0 ? static_cast<int>(syscall(SYS_pidfd_open, pid, 0)) : -1;
  if (ended >= 0) {
    struct pollfd ready = {ended, POLLIN, 0};
    if (poll(&ready, 1, milliseconds) >= 0) milliseconds = 0;
    close(ended);
  }
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

// What a child wrote into scratch file `fd`, which is then closed.
static std::string ReadScratch(int fd) {
  std::string text;
  if (lseek(fd, 0, SEEK_SET) == 0) ReadAll(fd, &text);
  close(fd);
  return text;
}

int RunProgram(const std::vector<std::string>& argv,
               const std::vector<std::string>& env, const RunOptions& run) {
  std::string* out = run.out;
  std::string program = FindProgram(argv[0].c_str());
  if (program.empty()) return kNotStarted;
  int pipe_fds[2] = {-1, -1};
  if (out && pipe2(pipe_fds, O_CLOEXEC) != 0) return kNotStarted;
  ChildOptions options;
  options.in_fd = run.in_fd;
  options.out_fd = out ? pipe_fds[1] : run.out_fd;
  options.extra_fd = run.extra_fd;
  // A file, not a pipe: nothing waits on it while the output is read.
  options.err_fd = run.err ? ScratchFile() : -1;
  options.death_signal = SIGKILL;
  options.folder = run.folder;
  pid_t child = StartChild(program, argv, env, options);
  if (child > 0) StepHit();
  if (out) {
    close(pipe_fds[1]);
    out->clear();
    if (child > 0) ReadAll(pipe_fds[0], out);
    close(pipe_fds[0]);
  }
  if (child < 0) {
    if (options.err_fd >= 0) close(options.err_fd);
    return kNotStarted;
  }
  int status = WaitChild(child);
  if (run.err) {
    *run.err = options.err_fd >= 0 ? ReadScratch(options.err_fd) : "";
  }
  // exec failed: the program could not be run.
  return status == 127 ? kNotStarted : status;
}
