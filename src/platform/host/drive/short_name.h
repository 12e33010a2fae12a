// Short (8.3) names as Windows 95 makes them for long file names.
#ifndef DOSSETUP_PLATFORM_HOST_DRIVE_SHORT_NAME_H_
#define DOSSETUP_PLATFORM_HOST_DRIVE_SHORT_NAME_H_

#include <string>
#include <vector>

// A base of 1 to 8 and an optional extension of 1 to 3 characters, all
// from the 8.3 set (letters of either case).
bool IsValidShortName(const std::string& name);

// The alias of `name` among the entries of its folder: uppercase; blanks
// and every period but the last dropped; other characters outside the 8.3
// set become '_'; the first six characters of the base, '~', a number and
// up to three characters of the extension. The number is the entry's
// place, from 1, among the folder's long names with the same basis, in
// byte order. `folder` holds every name of the folder.
std::string ShortAlias(const std::vector<std::string>& folder,
                       const std::string& name);

#endif  // DOSSETUP_PLATFORM_HOST_DRIVE_SHORT_NAME_H_
