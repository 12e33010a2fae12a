// Talking to a running qemu-storage-daemon through its monitor (QEMU's
// machine protocol, QMP) on a socket of this program's: one command at a
// time, each reply awaited for a bounded time, the events met on the way
// kept. Nothing is sent to a daemon that has gone, and no signal comes of
// it.
#ifndef DOSSETUP_DISKIMAGE_QEMU_MONITOR_H_
#define DOSSETUP_DISKIMAGE_QEMU_MONITOR_H_

#include <string>

struct Monitor {
  int fd = -1;         // this program's end of the socket
  std::string unread;  // received and not yet taken
  std::string events;  // the event lines met, each ending with a newline
};

// Sends `command` (a JSON object on one line) and waits for its reply;
// true when it returns rather than fails, the reply's line in `reply`.
bool MonitorCommand(Monitor* monitor, const std::string& command,
                    std::string* reply = nullptr);

// Waits for an event whose line holds `text`, met before or now.
bool MonitorAwait(Monitor* monitor, const std::string& text);

#endif  // DOSSETUP_DISKIMAGE_QEMU_MONITOR_H_
