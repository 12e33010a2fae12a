#include "platform/host/windows_path.h"

#include <algorithm>

#include "ascii.h"
#include "platform/host/drive/drive_c.h"
#include "platform/host/drive/short_name.h"

namespace {

// The entry `name` stands for in folder `parent`, or false.
bool FindEntry(const std::string& parent, const std::string& name,
               std::string* found) {
  std::vector<std::string> names;
  Drive* drive = OpenDriveC();
  if (!drive->ops->list(drive, parent, &names)) return false;
  if (std::binary_search(names.begin(), names.end(), name)) {
    *found = name;
    return true;
  }
  for (const std::string& candidate : names) {
    if (SameIgnoringAsciiCase(candidate, name)) {
      *found = candidate;
      return true;
    }
  }
  // A long name can also be reached by its short alias, as the paths this
  // program builds from short directory names are. Every alias holds a '~'.
  if (name.find('~') == std::string::npos) return false;
  for (const std::string& candidate : names) {
    if (!IsValidShortName(candidate) &&
        SameIgnoringAsciiCase(
            drive->ops->alias(drive, parent, names, candidate), name)) {
      *found = candidate;
      return true;
    }
  }
  return false;
}

}  // namespace

MapResult MapWindowsPath(const char* path, bool last_may_be_missing,
                         std::string* relative, std::vector<PathStep>* steps) {
  relative->clear();
  if (steps) steps->clear();
  if (!((path[0] == 'C' || path[0] == 'c') && path[1] == ':')) {
    return kMapMissing;
  }
  // Split first, so that the last component is known while walking.
  std::vector<std::string> components;
  std::string current;
  for (const char* p = path + 2;; ++p) {
    if (*p == '\\' || *p == '/' || *p == '\0') {
      // Repeated backslashes collapse, as Windows does.
      if (!current.empty()) components.push_back(current);
      current.clear();
      if (*p == '\0') break;
    } else {
      current += *p;
    }
  }
  for (size_t i = 0; i < components.size(); ++i) {
    const std::string& given = components[i];
    if (given == "." || given == "..") return kMapInvalid;
    PathStep step;
    step.given = given;
    step.parent = *relative;
    if (!FindEntry(*relative, given, &step.found)) {
      if (!(last_may_be_missing && i + 1 == components.size())) {
        return kMapMissing;
      }
      step.found = given;
    }
    *relative = JoinRelative(*relative, step.found);
    if (steps) steps->push_back(step);
  }
  return kMapped;
}
