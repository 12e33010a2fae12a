#include "diskimage/qemu/monitor.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Longer than any step of the daemon takes, however busy the machine.
const int kReplyMilliseconds = 60000;

// The next line the daemon says, events kept aside as they pass; false
// when it has gone quiet for too long or gone.
bool NextLine(Monitor* monitor, std::string* line) {
  int waited = 0;
  for (;;) {
    size_t end = monitor->unread.find('\n');
    if (end != std::string::npos) {
      *line = monitor->unread.substr(0, end);
      monitor->unread.erase(0, end + 1);
      if (line->find("\"event\"") == std::string::npos) return true;
      monitor->events += *line + "\n";
      continue;
    }
    struct pollfd ready = {monitor->fd, POLLIN, 0};
    int count = poll(&ready, 1, 100);
    if (count < 0 && errno != EINTR) return false;
    if (count <= 0) {
      if (count == 0 && (waited += 100) >= kReplyMilliseconds) return false;
      continue;
    }
    char text[4096];
    ssize_t got = read(monitor->fd, text, sizeof text);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    monitor->unread.append(text, static_cast<size_t>(got));
  }
}

}  // namespace

bool MonitorCommand(Monitor* monitor, const std::string& command,
                    std::string* reply) {
  std::string text = command + "\n";
  for (size_t sent = 0; sent < text.size();) {
    ssize_t count =
        send(monitor->fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    sent += static_cast<size_t>(count);
  }
  std::string line;
  // The greeting, and nothing else, is neither a reply nor an event.
  while (NextLine(monitor, &line)) {
    if (reply) *reply = line;
    if (line.rfind("{\"return\"", 0) == 0) return true;
    if (line.rfind("{\"error\"", 0) == 0) return false;
  }
  return false;
}

bool MonitorAwait(Monitor* monitor, const std::string& text) {
  std::string line;
  while (monitor->events.find(text) == std::string::npos) {
    // A reply that nobody waits for is not to be met here.
    if (!NextLine(monitor, &line)) return false;
  }
  return true;
}
