// Looking up a value in the text of an INI-style file (MSDOS.SYS, WIN.INI)
// the way Windows reads its profile.
#ifndef DOSSETUP_PLATFORM_HOST_INI_H_
#define DOSSETUP_PLATFORM_HOST_INI_H_

#include <string>
#include <vector>

// Section and key names match without regard to ASCII case and
// surrounding blanks; the first matching key of the first matching section
// wins; lines starting with ';' are comments; CR LF and LF both end a
// line. The value comes trimmed of blanks. False when there is none.
bool FindIniValue(const std::string& text, const char* section, const char* key,
                  std::string* value);

// The lines of a text, without their line ends (LF or CR LF).
std::vector<std::string> SplitLines(const std::string& text);

// Drops one pair of matching surrounding quotes (" or ').
std::string Unquote(const std::string& value);

// The whole text of a file of the drive, given by Windows path, read up to
// a limit that no real profile reaches. False when it cannot be read.
bool ReadDriveFile(const char* windows_path, std::string* text);

#endif  // DOSSETUP_PLATFORM_HOST_INI_H_
