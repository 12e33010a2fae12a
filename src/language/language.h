// The number the settings file carries for the Windows language: the
// abbreviation in win.ini ([intl] sLanguage) matched against a fixed
// table of prefixes. 0 stands for every language the table does not name.
#ifndef DOSSETUP_LANGUAGE_LANGUAGE_H_
#define DOSSETUP_LANGUAGE_LANGUAGE_H_

enum { kLanguageNumberTextCapacity = 4 };

// Reads the profile and returns 0 to 13. Never fails.
int GetLanguageNumber();

// The number for one abbreviation: the first table row whose prefix
// matches, ASCII letters compared without regard to case.
int LanguageNumberFor(const char* abbreviation);

// Decimal text without sign or leading zeros.
void FormatLanguageNumber(int number,
                          char (&text)[kLanguageNumberTextCapacity]);

#endif  // DOSSETUP_LANGUAGE_LANGUAGE_H_
