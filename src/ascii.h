// ASCII letters compared without regard to case, as Windows compares
// names, keys and language abbreviations; no national rules apply.
#ifndef DOSSETUP_ASCII_H_
#define DOSSETUP_ASCII_H_

#include <stddef.h>

inline char FoldAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Whether the first `count` characters of `a` and `b` match. A text that
// ends sooner ends at its terminator, which matches no letter, so neither
// is read past it unless both end there.
inline bool SameIgnoringAsciiCase(const char* a, const char* b, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

// Whether two texts of the given lengths are the same.
inline bool SameIgnoringAsciiCase(const char* a, size_t a_length, const char* b,
                                  size_t b_length) {
  return a_length == b_length && SameIgnoringAsciiCase(a, b, a_length);
}

// The same for two strings of the host's (anything with data() and size()).
template <typename A, typename B>
bool SameIgnoringAsciiCase(const A& a, const B& b) {
  return SameIgnoringAsciiCase(a.data(), a.size(), b.data(), b.size());
}

#endif  // DOSSETUP_ASCII_H_
