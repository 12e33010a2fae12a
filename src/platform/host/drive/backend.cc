#include "platform/host/drive/backend.h"

void (*copy_crash_hook)() = nullptr;

void SplitRelative(const std::string& relative, std::string* parent,
                   std::string* name) {
  size_t slash = relative.rfind('/');
  if (slash == std::string::npos) {
    parent->clear();
    *name = relative;
  } else {
    *parent = relative.substr(0, slash);
    *name = relative.substr(slash + 1);
  }
}

std::string JoinRelative(const std::string& parent, const std::string& name) {
  return parent.empty() ? name : parent + "/" + name;
}
