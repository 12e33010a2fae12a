#include "diskimage/qemu/view.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "diskimage/qemu/tools.h"
#include "helpers/scratch.h"
#include "helpers/spawn.h"
#include "stops/steps.h"

namespace {

const long kFuseMagic = 0x65735546;
const int kStopMilliseconds = 60000;

// A FUSE mount on `path`, live, or dead (its daemon gone).
bool IsFuseMount(const std::string& path) {
  struct statfs fs;
  if (statfs(path.c_str(), &fs) != 0) return errno == ENOTCONN;
  return fs.f_type == kFuseMagic;
}

// The mount points a view's folder may hold.
const char* const kMountPoints[] = {"disk", "journal"};

// Whether a mount point of the view's folder still holds a FUSE mount.
bool AnyMounted(const std::string& folder) {
  for (const char* name : kMountPoints) {
    if (IsFuseMount(folder + "/" + name)) return true;
  }
  return false;
}

// Unmounts the views of a daemon that is gone or stuck, and removes them
// and their folder.
void RemoveView(const std::string& folder) {
  for (const char* name : kMountPoints) {
    std::string mount = folder + "/" + name;
    if (IsFuseMount(mount) && umount2(mount.c_str(), MNT_DETACH) != 0) {
      RunProgram({"fusermount3", "-u", "-z", mount}, QemuEnvironment());
    }
    unlink(mount.c_str());
  }
  rmdir(folder.c_str());
}

// The guard: a child that only waits for `pipe_read` to close. When this
// program closes the view, the guard finds nothing left to do; when it
// dies first, the daemon (told by its death signal) unmounts, and the
// guard removes what is left. It holds no other descriptor, so that it
// never keeps an image open or locked.
pid_t StartGuard(const std::string& folder, int* pipe_write) {
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
    for (int waited = 0; waited < kStopMilliseconds && AnyMounted(folder);
         waited += 10) {
      PauseMilliseconds(10);
    }
    RemoveView(folder);
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

// Makes the empty file a view is mounted on: FUSE mounts it on a regular
// file.
bool MakeMountPoint(const std::string& path) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  return fd >= 0 && close(fd) == 0;
}

bool Command(RawView* view, const std::string& command,
             std::string* reply = nullptr) {
  return MonitorCommand(&view->monitor, command, reply);
}

// Waits for the job that makes the journal; true when it ended well.
bool AwaitJob(RawView* view) {
  std::string reply;
  for (int waited = 0; waited < kStopMilliseconds; ++waited) {
    if (!Command(view, "{\"execute\":\"query-jobs\"}", &reply)) return false;
    if (reply.find("\"concluded\"") != std::string::npos) {
      return reply.find("\"error\"") == std::string::npos &&
             Command(view,
                     "{\"execute\":\"job-dismiss\",\"arguments\":{\"id\":"
                     "\"journal\"}}");
    }
    PauseMilliseconds(1);
  }
  return false;
}

}  // namespace

bool OpenRawView(const std::vector<std::string>& blockdevs, bool writable,
                 const std::string& folder, RawView* view, bool show_disk) {
  *view = RawView();
  std::string program = FindProgram("qemu-storage-daemon");
  if (program.empty()) return false;
  std::string own = ScratchFolder() + "/dossetup-view-XXXXXX";
  if (!mkdtemp(own.data())) return false;
  view->folder = own;
  view->guard = StartGuard(view->folder, &view->guard_pipe);
  std::string disk = own + "/disk";
  int ends[2] = {-1, -1};
  if (view->guard < 0 || (show_disk && !MakeMountPoint(disk)) ||
      socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
    CloseRawView(view);
    return false;
  }
  view->monitor.fd = ends[0];
  // The monitor speaks on the daemon's standard input and output.
  std::vector<std::string> argv = {"qemu-storage-daemon", "--chardev",
                                   "stdio,id=monitor", "--monitor",
                                   "chardev=monitor"};
  for (const std::string& blockdev : blockdevs) {
    argv.push_back("--blockdev");
    argv.push_back(blockdev);
  }
  if (show_disk) {
    argv.push_back("--export");
    argv.push_back(std::string("type=fuse,id=view,node-name=disk,writable=") +
                   (writable ? "on" : "off") +
                   ",allow-other=off,mountpoint=" + OptionValue(disk));
  }
  // SIGTERM makes the daemon flush, unmount and exit.
  ChildOptions options;
  options.in_fd = ends[1];
  options.out_fd = ends[1];
  options.death_signal = SIGTERM;
  options.folder = folder;
  view->daemon = StartChild(program, argv, QemuEnvironment(), options);
  close(ends[1]);
  // The monitor answers once the daemon has set up what it was given.
  bool ready = view->daemon > 0 &&
               Command(view, "{\"execute\":\"qmp_capabilities\"}") &&
               (!show_disk || IsFuseMount(disk));
  if (!ready) {
    CloseRawView(view);
    return false;
  }
  if (show_disk) view->disk = disk;
  StepHit();
  return true;
}

bool AddJournalView(RawView* view, const std::string& overlay, uint64_t size,
                    const std::string& backing,
                    const std::string& backing_format) {
  std::string mount = view->folder + "/journal";
  std::string create =
      "{\"driver\":\"qcow2\",\"file\":\"journal-file\","
      "\"size\":" +
      std::to_string(size);
  if (!backing.empty()) {
    create += ",\"backing-file\":" + JsonString(backing) +
              ",\"backing-fmt\":" + JsonString(backing_format);
  }
  // Made by a job of the daemon's through a file node that never flushes.
  bool ok =
      MakeMountPoint(mount) &&
      Command(view,
              "{\"execute\":\"blockdev-add\",\"arguments\":{\"driver\":"
              "\"file\",\"node-name\":\"journal-file\",\"locking\":\"off\","
              "\"cache\":{\"no-flush\":true},\"filename\":" +
                  JsonString(overlay) + "}}") &&
      Command(view,
              "{\"execute\":\"blockdev-create\",\"arguments\":{\"job-id\":"
              "\"journal\",\"options\":" +
                  create + "}}}") &&
      AwaitJob(view) &&
      Command(view,
              "{\"execute\":\"blockdev-add\",\"arguments\":{\"driver\":"
              "\"qcow2\",\"node-name\":\"journal\",\"file\":\"journal-file\","
              "\"backing\":\"image\"}}") &&
      Command(view,
              "{\"execute\":\"block-export-add\",\"arguments\":{\"type\":"
              "\"fuse\",\"id\":\"journal\",\"node-name\":\"journal\","
              "\"writable\":true,\"allow-other\":\"off\",\"mountpoint\":" +
                  JsonString(mount) + "}}") &&
      IsFuseMount(mount);
  if (!ok) return false;
  view->journal = mount;
  StepHit();
  return true;
}

bool RemoveJournalView(RawView* view) {
  if (view->journal.empty()) return true;
  bool ok =
      Command(view,
              "{\"execute\":\"block-export-del\",\"arguments\":{\"id\":"
              "\"journal\",\"mode\":\"hard\"}}") &&
      MonitorAwait(&view->monitor, "\"BLOCK_EXPORT_DELETED\"") &&
      Command(view,
              "{\"execute\":\"blockdev-del\",\"arguments\":{\"node-name\":"
              "\"journal\"}}") &&
      Command(view,
              "{\"execute\":\"blockdev-del\",\"arguments\":{\"node-name\":"
              "\"journal-file\"}}");
  if (ok) {
    unlink(view->journal.c_str());
    view->journal.clear();
  }
  return ok;
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
  if (view->monitor.fd >= 0) close(view->monitor.fd);
  if (!view->folder.empty()) RemoveView(view->folder);
  if (view->guard_pipe >= 0) close(view->guard_pipe);
  if (view->guard > 0) WaitChild(view->guard);
  *view = RawView();
  return clean;
}
