// The sound settings file, kestiv.ini in the system directory: it comes to
// end with winpath95=<Windows directory> and Language=<number>, every
// earlier line holding either key dropped. It is never created.
#ifndef DOSSETUP_FILES_SETTINGS_H_
#define DOSSETUP_FILES_SETTINGS_H_

// Returns 0 when the file is missing or unreadable or the temporary file
// could not be written whole, and the file is left as it was; otherwise
// the result of deleting the temporary file, whatever the copy gave.
int UpdateSettingsFile();

#endif  // DOSSETUP_FILES_SETTINGS_H_
