#include "helpers/paths.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::vector<std::string> FilesEndingIn(const std::string& folder,
                                       const std::string& suffix) {
  std::vector<std::string> found;
  int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return found;
  DIR* listing = fdopendir(dir);
  if (!listing) {
    close(dir);
    return found;
  }
  while (struct dirent* entry = readdir(listing)) {
    std::string name = entry->d_name;
    if (name.size() > suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
      found.push_back(folder);
      found.back().append("/").append(name);
    }
  }
  closedir(listing);
  std::sort(found.begin(), found.end());
  return found;
}
