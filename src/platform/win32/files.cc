// File streams on Windows, over kernel32 file handles: the program needs no
// C runtime DLL, which not every Windows 95 machine has. Files are shared
// for reading and writing while open, as the C library shares them.
#include "platform/platform.h"

struct PlatformFile {
  HANDLE handle;
};

static const DWORD kShareMode = FILE_SHARE_READ | FILE_SHARE_WRITE;

static PlatformFile* Wrap(HANDLE handle) {
  if (handle == INVALID_HANDLE_VALUE) return NULL;
  PlatformFile* file = static_cast<PlatformFile*>(
      HeapAlloc(GetProcessHeap(), 0, sizeof(PlatformFile)));
  if (!file) {
    CloseHandle(handle);
    return NULL;
  }
  file->handle = handle;
  return file;
}

OpenResult FileOpenRead(const char* path, PlatformFile** file) {
  *file = NULL;
  HANDLE handle = CreateFileA(path, GENERIC_READ, kShareMode, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (handle == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    // Anything else (a folder, a locked file) exists but cannot be read.
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
               ? kMissing
               : kOpenFailed;
  }
  *file = Wrap(handle);
  return *file ? kOpened : kOpenFailed;
}

PlatformFile* FileOpenWrite(const char* path) {
  return Wrap(CreateFileA(path, GENERIC_WRITE, kShareMode, NULL, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, NULL));
}

long FileRead(PlatformFile* file, char* buffer, size_t size) {
  DWORD count = 0;
  if (!ReadFile(file->handle, buffer, static_cast<DWORD>(size), &count, NULL)) {
    return -1;
  }
  return static_cast<long>(count);
}

// A short write (a full disk) is a failed one.
bool FileWrite(PlatformFile* file, const char* data, size_t size) {
  DWORD count = 0;
  return WriteFile(file->handle, data, static_cast<DWORD>(size), &count,
                   NULL) &&
         count == size;
}

bool FileClose(PlatformFile* file) {
  bool ok = CloseHandle(file->handle) != FALSE;
  HeapFree(GetProcessHeap(), 0, file);
  return ok;
}
