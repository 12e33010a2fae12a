// The two directory texts, filled once by the start-up probe before any
// update runs and only read afterwards: the short form of each directory
// exactly as Windows gives it, no backslash added or removed.
#ifndef DOSSETUP_FILES_DIRECTORIES_H_
#define DOSSETUP_FILES_DIRECTORIES_H_

enum { kDirectoryCapacity = 260 };  // 259 characters and the terminator

extern char SystemDirShort[kDirectoryCapacity];
extern char WindowsDirShort[kDirectoryCapacity];

#endif  // DOSSETUP_FILES_DIRECTORIES_H_
