// Paths and lines built from a directory text, held whole: a directory of
// up to 259 characters, a backslash and the longest fixed name or line fit.
#ifndef DOSSETUP_FILES_COMPOSE_H_
#define DOSSETUP_FILES_COMPOSE_H_

#include <stddef.h>

#include "files/directories.h"

enum { kComposedCapacity = kDirectoryCapacity + 64 };

// out = directory, one backslash, name. The backslash is added even when
// the directory already ends in one.
void ComposeInDirectory(char (&out)[kComposedCapacity], const char* directory,
                        const char* name);

// A file of `directory` and the temporary file beside it that replaces it.
void ComposeFileAndTemp(char (&target)[kComposedCapacity],
                        char (&temp)[kComposedCapacity], const char* directory,
                        const char* name, const char* temp_name);

#endif  // DOSSETUP_FILES_COMPOSE_H_
