// The lines of a text that a helper program printed or a profile holds.
#ifndef DOSSETUP_LINES_H_
#define DOSSETUP_LINES_H_

#include <string>
#include <vector>

// The lines of `text`, without their line ends (LF or CR LF).
std::vector<std::string> SplitLines(const std::string& text);

#endif  // DOSSETUP_LINES_H_
