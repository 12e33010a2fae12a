// The program's own start-up code, in place of the C runtime's: it hands
// WinMain the four usual arguments and ends the process with the result.
// Nothing needs constructing or destroying, and no thread-local storage is
// used, so there is nothing else to do.
#include "platform/platform.h"

// What follows the program's name on the command line: a quoted name ends
// at its closing quote, any other at the first blank; blanks after it are
// skipped.
static LPSTR SkipProgramName(LPSTR line) {
  if (*line == '"') {
    ++line;
    while (*line != '\0' && *line != '"') ++line;
    if (*line == '"') ++line;
  } else {
    while (*line != '\0' && *line != ' ' && *line != '\t') ++line;
  }
  while (*line == ' ' || *line == '\t') ++line;
  return line;
}

// The image's entry point (named to the linker in CMakeLists.txt).
extern "C" void DossetupStart() {
  STARTUPINFOA startup;
  startup.cb = sizeof startup;
  GetStartupInfoA(&startup);
  int show = (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow
                                                      : SW_SHOWDEFAULT;
  int result = WinMain(GetModuleHandleA(NULL), NULL,
                       SkipProgramName(GetCommandLineA()), show);
  ExitProcess(static_cast<UINT>(result));
}
