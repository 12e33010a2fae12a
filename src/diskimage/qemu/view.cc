#include "diskimage/qemu/view.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "diskimage/qemu/tools.h"
#include "helpers/scratch.h"
#include "helpers/spawn.h"
#include "stops/steps.h"

namespace {

const long kFuseMagic = 0x65735546;
const int kStartMilliseconds = 30000;
const int kStopMilliseconds = 60000;

// A FUSE mount on `path`, live, or dead (its daemon gone).
bool IsFuseMount(const std::string& path) {
  struct statfs fs;
  if (statfs(path.c_str(), &fs) != 0) return errno == ENOTCONN;
  return fs.f_type == kFuseMagic;
}

// Unmounts a view whose daemon is gone or stuck, and removes it.
void RemoveView(const std::string& folder, const std::string& disk) {
  if (IsFuseMount(disk) && umount2(disk.c_str(), MNT_DETACH) != 0) {
    RunProgram({"fusermount3", "-u", "-z", disk}, QemuEnvironment());
  }
  unlink(disk.c_str());
  rmdir(folder.c_str());
}

// The guard: a child that only waits for `pipe_read` to close. When this
// program closes the view, the guard finds nothing left to do; when it
// dies first, the daemon (told by its death signal) unmounts, and the
// guard removes what is left. It holds no other descriptor, so that it
// never keeps an image open or locked.
pid_t StartGuard(const std::string& folder, const std::string& disk,
                 int* pipe_write) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return -1;
  pid_t guard = fork();
  if (guard == 0) {
    setpgid(0, 0);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) ::signal(signal, SIG_IGN);
    if (dup2(fds[0], 3) != 3 || syscall(SYS_close_range, 4U, ~0U, 0U) != 0) {
      for (int fd = 4; fd < 1024; ++fd) close(fd);
    }
    for (;;) {
      char byte;
      ssize_t count = read(3, &byte, 1);
      if (count == 0 || (count < 0 && errno != EINTR)) break;
    }
    for (int waited = 0; waited < kStopMilliseconds && IsFuseMount(disk);
         waited += 10) {
      PauseMilliseconds(10);
    }
    RemoveView(folder, disk);
    _exit(0);
  }
  close(fds[0]);
  if (guard < 0) {
    close(fds[1]);
    return -1;
  }
  *pipe_write = fds[1];
  return guard;
}

}  // namespace

bool OpenRawView(const std::vector<std::string>& blockdevs, bool writable,
                 const std::string& folder, RawView* view) {
  *view = RawView();
  std::string program = FindProgram("qemu-storage-daemon");
  if (program.empty()) return false;
  std::string own = ScratchFolder() + "/dossetup-view-XXXXXX";
  if (!mkdtemp(own.data())) return false;
  view->folder = own;
  view->disk = own + "/disk";
  view->guard = StartGuard(view->folder, view->disk, &view->guard_pipe);
  // FUSE mounts the view on a regular file.
  int mount_point =
      open(view->disk.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (view->guard < 0 || mount_point < 0 || close(mount_point) != 0) {
    CloseRawView(view);
    return false;
  }
  std::vector<std::string> argv = {"qemu-storage-daemon"};
  for (const std::string& blockdev : blockdevs) {
    argv.push_back("--blockdev");
    argv.push_back(blockdev);
  }
  argv.push_back("--export");
  argv.push_back(std::string("type=fuse,id=view,node-name=disk,writable=") +
                 (writable ? "on" : "off") +
                 ",allow-other=off,mountpoint=" + OptionValue(view->disk));
  // SIGTERM makes the daemon flush, unmount and exit.
  ChildOptions options;
  options.death_signal = SIGTERM;
  options.folder = folder;
  view->daemon = StartChild(program, argv, QemuEnvironment(), options);
  bool ready = false;
  for (int waited = 0; view->daemon > 0 && waited < kStartMilliseconds;
       waited += 5) {
    if (IsFuseMount(view->disk)) {
      ready = true;
      break;
    }
    if (WaitChild(view->daemon, 0) != kStillRunning) {
      view->daemon = -1;  // it gave up
      break;
    }
    PauseMilliseconds(5);
  }
  if (!ready) {
    CloseRawView(view);
    return false;
  }
  StepHit();
  return true;
}

bool CloseRawView(RawView* view) {
  bool clean = false;
  if (view->daemon > 0) {
    kill(view->daemon, SIGTERM);
    int status = WaitChild(view->daemon, kStopMilliseconds);
    if (status == kStillRunning) {
      kill(view->daemon, SIGKILL);
      WaitChild(view->daemon);
    }
    clean = status == 0;
  }
  if (!view->folder.empty()) RemoveView(view->folder, view->disk);
  if (view->guard_pipe >= 0) close(view->guard_pipe);
  if (view->guard > 0) WaitChild(view->guard);
  *view = RawView();
  return clean;
}
