// Where this program keeps what it needs outside the volume for a moment:
// file contents on their way in or out, and the folders of its views.
#ifndef DOSSETUP_HELPERS_SCRATCH_H_
#define DOSSETUP_HELPERS_SCRATCH_H_

#include <string>

// TMPDIR, else /tmp.
std::string ScratchFolder();

// A private file in the scratch folder. It has no name, so it never
// outlives the program, whatever ends it. -1 on failure.
int ScratchFile();

#endif  // DOSSETUP_HELPERS_SCRATCH_H_
