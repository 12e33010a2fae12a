// The two batch-file updates: each makes its file end with one fixed line
// and drops every earlier line holding that line (LF included). A missing
// file is created holding just the line.
#ifndef DOSSETUP_FILES_BATCH_H_
#define DOSSETUP_FILES_BATCH_H_

// C:\autoexec.bat ends with the BLASTER setting.
int UpdateAutoexecBat();
// dosstart.bat in the Windows directory ends with the command that runs
// quorvel.exe /N from the system directory.
int UpdateDosstartBat();

// Rewrites `target` through `temp` so that it ends with `line` (which
// ends with an LF). Returns 0 when the temporary file could not be
// written whole, and the target is left as it was; otherwise the result
// of deleting the temporary file, whatever the copy over the target gave.
// A target that exists but cannot be read whole is left exactly as it was.
int RewriteBatchFile(const char* target, const char* temp, const char* line);

#endif  // DOSSETUP_FILES_BATCH_H_
