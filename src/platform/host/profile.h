// Looking up a value in the text of an INI-style file (MSDOS.SYS, WIN.INI)
// the way Windows reads its profile. Text in, value out: reading the file
// is the caller's.
#ifndef DOSSETUP_PLATFORM_HOST_PROFILE_H_
#define DOSSETUP_PLATFORM_HOST_PROFILE_H_

#include <string>

// Section and key names match without regard to ASCII case and
// surrounding blanks; the first matching key of the first matching section
// wins; lines starting with ';' are comments; CR LF and LF both end a
// line. The value comes trimmed of blanks. False when there is none.
bool FindIniValue(const std::string& text, const char* section, const char* key,
                  std::string* value);

// Drops one pair of matching surrounding quotes (" or ').
std::string Unquote(const std::string& value);

#endif  // DOSSETUP_PLATFORM_HOST_PROFILE_H_
