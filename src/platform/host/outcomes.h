// What became of each file a run updates, as the Windows calls see it:
// the updates themselves report nothing (files/), so the host watches one
// update at a time at the seam. The bytes read from the file are compared
// as they come with the bytes written to its temporary file, so telling
// "already set up" from "updated" costs no second read; with texts kept,
// both contents are also kept, for a diff.
#ifndef DOSSETUP_PLATFORM_HOST_OUTCOMES_H_
#define DOSSETUP_PLATFORM_HOST_OUTCOMES_H_

#include <stddef.h>

#include <string>

enum FileOutcome {
  kFileUpdated,     // its bytes changed (or, in a dry run, would)
  kFileAlreadySet,  // it was rewritten with the very bytes it held
  kFileAbsent,      // it does not exist and is not created
  kFileFailed,      // it could not be read or replaced
};

struct FileReport {
  std::string path;  // the file's Windows path
  FileOutcome outcome = kFileFailed;
  std::string why;  // for kFileFailed
  // With texts kept: unnamed scratch files holding the old and the new
  // bytes, for the caller to close; else -1.
  int old_fd = -1;
  int new_fd = -1;
  bool texts_lost = false;  // kept texts that did not fit the scratch folder
};

// Starts watching the update of the file at `windows_path`.
void WatchFile(const char* windows_path, bool keep_texts);
// Ends the watch: what the update came to.
FileReport FinishFile();

// Called by the Windows calls while a watch is on; otherwise they do
// nothing.
void NoteRead(const char* data, size_t size);   // read from the file
void NoteWrite(const char* data, size_t size);  // written to its temp
void NoteMissing(const char* windows_path);     // a file opened is missing
void NoteFailure(const std::string& why);       // the first one stays
// The file is replaced by its temporary file (in a dry run, would be);
// `old_fd`, if not -1, reads its old bytes, wanted when texts are kept.
void NoteReplaced(int old_fd);
bool KeepingTexts();

#endif  // DOSSETUP_PLATFORM_HOST_OUTCOMES_H_
