// The whole run: find the system and Windows directories in short form,
// then update autoexec.bat, dosstart.bat and the settings file, in that
// order, each to its end whatever the one before it did. If any directory
// query or conversion fails, or its result does not fit, nothing is
// touched. Nothing is reported.
#ifndef DOSSETUP_STARTUP_SETUP_H_
#define DOSSETUP_STARTUP_SETUP_H_

void RunSetup();

// The run's parts, for a host that watches each: the directory probe
// (false when it failed, and nothing may be touched), then the updates in
// the order they run.
bool ProbeDirectories();
enum { kUpdateCount = 3 };
// Runs update `index`, from 0 to kUpdateCount - 1.
int RunUpdate(int index);

#endif  // DOSSETUP_STARTUP_SETUP_H_
