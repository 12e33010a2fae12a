// The sound settings file, kestiv.ini in the system directory: it comes to
// end with winpath95=<Windows directory> and Language=<number>, every
// earlier line holding either key dropped. It is never created.
#ifndef DOSSETUP_FILES_SETTINGS_H_
#define DOSSETUP_FILES_SETTINGS_H_

// Returns 0 when nothing was copied over the file, otherwise the result of
// deleting the temporary file.
int UpdateSettingsFile();

#endif  // DOSSETUP_FILES_SETTINGS_H_
