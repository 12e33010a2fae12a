#include "platform/host/view.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <vector>

#include "platform/host/ini.h"
#include "platform/host/spawn.h"

namespace {

const long kFuseMagic = 0x65735546;
const int kStartMilliseconds = 30000;
const int kStopMilliseconds = 60000;

// QEMU's tools get the search path alone, and speak plain ASCII.
std::vector<std::string> QemuEnvironment() {
  std::vector<std::string> env = {"LC_ALL=C"};
  if (const char* path = getenv("PATH"))
    env.push_back(std::string("PATH=") + path);
  return env;
}

// A value inside a QEMU option list, where a comma separates options
// unless doubled.
std::string OptionValue(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    escaped += c;
    if (c == ',') escaped += ',';
  }
  return escaped;
}

// A FUSE mount on `path`, live, or dead (its daemon gone).
bool IsFuseMount(const std::string& path) {
  struct statfs fs;
  if (statfs(path.c_str(), &fs) != 0) return errno == ENOTCONN;
  return fs.f_type == kFuseMagic;
}

void Sleep(long milliseconds) {
  struct timespec pause = {0, milliseconds * 1000000};
  nanosleep(&pause, nullptr);
}

// Waits up to `milliseconds` for child `pid` to end; true when it has.
bool Reap(pid_t pid, int milliseconds) {
  for (int waited = 0;; waited += 5) {
    int status;
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid || (done < 0 && errno != EINTR)) return true;
    if (waited >= milliseconds) return false;
    Sleep(5);
  }
}

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

// Starts `program` with `argv` as a child that gets SIGTERM if this
// process dies first, so that the daemon never outlives the program.
pid_t StartDaemon(const std::string& program, std::vector<std::string> argv) {
  std::vector<std::string> env = QemuEnvironment();
  std::vector<char*> arguments = ExecVector(argv);
  std::vector<char*> envp = ExecVector(env);
  int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null_fd < 0) return -1;
  pid_t parent = getpid();
  pid_t child = fork();
  if (child == 0) {
    // Only async-signal-safe calls from here on.
    if (prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || getppid() != parent ||
        dup2(null_fd, 0) < 0 || dup2(null_fd, 1) < 0 || dup2(null_fd, 2) < 0) {
      _exit(127);
    }
    execve(program.c_str(), arguments.data(), envp.data());
    _exit(127);
  }
  close(null_fd);
  return child;
}

}  // namespace

std::string ImageFormat(const std::string& image) {
  // A newline in the name could pass for a line of the report.
  if (image.find('\n') != std::string::npos) return "?";
  // The file protocol, named: a ':' in the name never selects another.
  std::string text;
  int status =
      RunProgram({"qemu-img", "info", "--image-opts",
                  "file.driver=file,file.filename=" + OptionValue(image)},
                 QemuEnvironment(), &text);
  if (status == kNotStarted) return "";
  if (status != 0) return "?";
  const std::string kLabel = "file format: ";
  for (const std::string& line : SplitLines(text)) {
    if (line.compare(0, kLabel.size(), kLabel) == 0) {
      std::string format = line.substr(kLabel.size());
      return IsFormatName(format) ? format : "?";
    }
  }
  return "?";
}

bool OpenRawView(const std::string& image, const std::string& format,
                 RawView* view) {
  *view = RawView();
  std::string program = FindProgram("qemu-storage-daemon");
  if (program.empty() || !IsFormatName(format)) return false;
  const char* tmp = getenv("TMPDIR");
  std::string folder =
      std::string(tmp && *tmp ? tmp : "/tmp") + "/dossetup-view-XXXXXX";
  if (!mkdtemp(folder.data())) return false;
  view->folder = folder;
  view->disk = folder + "/disk";
  // FUSE mounts the view on a regular file.
  int mount_point =
      open(view->disk.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (mount_point < 0 || close(mount_point) != 0) {
    CloseRawView(view);
    return false;
  }
  view->daemon = StartDaemon(
      program, {"qemu-storage-daemon", "--blockdev",
                "driver=file,node-name=file,filename=" + OptionValue(image),
                "--blockdev", "driver=" + format + ",node-name=disk,file=file",
                "--export",
                "type=fuse,id=view,node-name=disk,writable=on,allow-other=off,"
                "mountpoint=" +
                    OptionValue(view->disk)});
  bool ready = false;
  for (int waited = 0; view->daemon > 0 && waited < kStartMilliseconds;
       waited += 5) {
    if (IsFuseMount(view->disk)) {
      ready = true;
      break;
    }
    int status;
    if (waitpid(view->daemon, &status, WNOHANG) == view->daemon) {
      view->daemon = -1;  // it gave up: the image is in use, or no FUSE
      break;
    }
    Sleep(5);
  }
  if (!ready) CloseRawView(view);
  return ready;
}

void CloseRawView(RawView* view) {
  if (view->daemon > 0) {
    // SIGTERM makes the daemon flush the image, unmount and exit.
    kill(view->daemon, SIGTERM);
    if (!Reap(view->daemon, kStopMilliseconds)) {
      kill(view->daemon, SIGKILL);
      Reap(view->daemon, kStopMilliseconds);
    }
  }
  if (!view->disk.empty()) {
    // A daemon that died without unmounting leaves a dead mount behind.
    if (IsFuseMount(view->disk) &&
        umount2(view->disk.c_str(), MNT_DETACH) != 0) {
      RunProgram({"fusermount3", "-u", "-z", view->disk}, QemuEnvironment());
    }
    unlink(view->disk.c_str());
  }
  if (!view->folder.empty()) rmdir(view->folder.c_str());
  *view = RawView();
}
