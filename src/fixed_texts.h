// Every fixed file name, line and key the program writes or looks for.
// Lines carry their LF: the text written is also the text searched for.
#ifndef DOSSETUP_FIXED_TEXTS_H_
#define DOSSETUP_FIXED_TEXTS_H_

// autoexec.bat always lives in the root of drive C, whatever drive
// Windows is on.
#define DOSSETUP_DRIVE_C_ROOT "C:\\"
#define DOSSETUP_AUTOEXEC_NAME "autoexec.bat"
#define DOSSETUP_AUTOEXEC_TEMP_NAME "autoexec.tmp"

static const char kAutoexecPath[] =
    DOSSETUP_DRIVE_C_ROOT DOSSETUP_AUTOEXEC_NAME;
static const char kAutoexecTempPath[] =
    DOSSETUP_DRIVE_C_ROOT DOSSETUP_AUTOEXEC_TEMP_NAME;

// In the Windows directory.
static const char kDosstartName[] = "dosstart.bat";
static const char kDosstartTempName[] = "dosstart.tmp";

// In the system directory.
static const char kSettingsName[] = "kestiv.ini";
static const char kSettingsTempName[] = "kestiv.tmp";

// Two blanks after SET and before D1: the card's DOS drivers expect
// exactly this text.
static const char kBlasterLine[] = "SET  BLASTER=A220 I5  D1 T4\n";

// Follows the system directory and a backslash in dosstart.bat.
static const char kToolCommandTail[] = "quorvel.exe /N\n";

// Settings keys, matched with their "=" and in exact case.
static const char kWinpathKey[] = "winpath95=";
static const char kLanguageKey[] = "Language=";

// Where Windows keeps its language abbreviation (win.ini).
static const char kProfileSection[] = "intl";
static const char kProfileLanguageKey[] = "sLanguage";

#endif  // DOSSETUP_FIXED_TEXTS_H_
