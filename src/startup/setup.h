// The whole run: find the system and Windows directories in short form,
// then update autoexec.bat, dosstart.bat and the settings file, in that
// order, each to its end whatever the one before it did. If any directory
// query or conversion fails, or its result does not fit, nothing is
// touched. Nothing is reported.
#ifndef DOSSETUP_STARTUP_SETUP_H_
#define DOSSETUP_STARTUP_SETUP_H_

void RunSetup();

#endif  // DOSSETUP_STARTUP_SETUP_H_
