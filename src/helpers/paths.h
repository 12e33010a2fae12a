// A path's folder, and a folder's files by the ends of their names.
#ifndef DOSSETUP_HELPERS_PATHS_H_
#define DOSSETUP_HELPERS_PATHS_H_

#include <string>
#include <vector>

// The folder `path` lies in: "/" for one in the root, "." for a bare name.
std::string FolderOf(const std::string& path);

// The entries of `folder` whose names end as `suffix` does (and are
// longer), as paths below it, in name order; none where it is no folder.
std::vector<std::string> FilesEndingIn(const std::string& folder,
                                       const std::string& suffix);

#endif  // DOSSETUP_HELPERS_PATHS_H_
