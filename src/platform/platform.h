// The one seam between the program and the system it runs on.
//
// The Windows calls keep their Win32 names and signatures: on Windows they
// are kernel32's own, elsewhere the host layer provides them over drive C,
// a folder or a FAT volume inside a disk image (platform/host/). File streams
// are opened by Windows path through the same seam and read and written as raw
// bytes; the text rules are the program's own (files/textfile.h), so every host
// behaves byte for byte the same.
#ifndef DOSSETUP_PLATFORM_PLATFORM_H_
#define DOSSETUP_PLATFORM_PLATFORM_H_

#include <stddef.h>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <stdint.h>

typedef int BOOL;
typedef unsigned int UINT;
typedef uint32_t DWORD;
typedef char* LPSTR;
typedef const char* LPCSTR;
#ifndef FALSE
#define FALSE 0
#endif
#ifndef TRUE
#define TRUE 1
#endif

// Same contracts as Win32: a query returns the length copied, or the size
// needed (terminator included) when the buffer is too small, or 0.
UINT GetSystemDirectoryA(LPSTR buffer, UINT size);
UINT GetWindowsDirectoryA(LPSTR buffer, UINT size);
DWORD GetShortPathNameA(LPCSTR long_path, LPSTR short_path, DWORD size);
DWORD GetProfileStringA(LPCSTR section, LPCSTR key, LPCSTR default_value,
                        LPSTR buffer, DWORD size);
BOOL CopyFileA(LPCSTR existing, LPCSTR new_file, BOOL fail_if_exists);
BOOL DeleteFileA(LPCSTR path);
#endif

struct PlatformFile;

enum OpenResult {
  kOpened,
  kMissing,     // the file does not exist
  kOpenFailed,  // it may exist, but cannot be opened
};

// Opens an existing file for reading.
OpenResult FileOpenRead(const char* path, PlatformFile** file);
// Creates the file, or empties it if it exists. Null on failure.
PlatformFile* FileOpenWrite(const char* path);
// Returns the count read, 0 at the end, or -1 on error.
long FileRead(PlatformFile* file, char* buffer, size_t size);
// Writes all bytes or returns false.
bool FileWrite(PlatformFile* file, const char* data, size_t size);
// Closes and frees the stream; false when pending data could not be stored.
bool FileClose(PlatformFile* file);

#endif  // DOSSETUP_PLATFORM_PLATFORM_H_
