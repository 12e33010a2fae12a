// Runs dossetup.exe on Linux without Windows, so that QEMU can run the
// whole program on emulated CPUs older than the Pentium Pro. A freestanding
// i386 program (Debian's i386 C library itself uses CMOV): it maps the PE
// image at its base, binds each KERNEL32.DLL import to a small version of
// that function over Linux system calls, and calls the entry point.
//
// Drive C is DRIVE-FOLDER, with Windows in C:\windows and the system
// directory C:\windows\system32, as in a Wine prefix; [intl] sLanguage is
// LANGUAGE. An import it does not know ends the run, by name, with status 2.
//
// usage: pe-loader DOSSETUP.EXE DRIVE-FOLDER LANGUAGE
//
// Built with -m32 -march=i386 -ffreestanding -nostdlib (see CMakeLists.txt).

typedef unsigned char u8;
typedef unsigned short u16;
typedef unsigned int u32;
typedef unsigned int size_t;

#define STDCALL __attribute__((stdcall))

// ---- Linux system calls (i386) ----

enum {
  kSysExit = 1,
  kSysRead = 3,
  kSysWrite = 4,
  kSysOpen = 5,
  kSysClose = 6,
  kSysUnlink = 10,
  kSysOldMmap = 90,  // one argument: the six in memory
};
enum {
  kReadOnly = 0,
  kWriteOnly = 1,
  kCreate = 0100,
  kExclusive = 0200,
  kTruncate = 01000,
  kDirectory = 0200000,
};
enum { kNoEntry = 2, kNotDirectory = 20 };

static long Sys(long number, long a = 0, long b = 0, long c = 0) {
  long result;
  asm volatile("int $0x80"
               : "=a"(result)
               : "a"(number), "b"(a), "c"(b), "d"(c)
               : "memory");
  return result;
}

// Freestanding code still gets calls to these from the compiler.
extern "C" void* memcpy(void* to, const void* from, size_t count) {
  u8* out = static_cast<u8*>(to);
  const u8* in = static_cast<const u8*>(from);
  while (count-- > 0) *out++ = *in++;
  return to;
}

extern "C" void* memset(void* to, int value, size_t count) {
  u8* out = static_cast<u8*>(to);
  while (count-- > 0) *out++ = static_cast<u8>(value);
  return to;
}

static size_t Length(const char* text) {
  size_t length = 0;
  while (text[length]) ++length;
  return length;
}

static void Say(const char* text) {
  Sys(kSysWrite, 2, reinterpret_cast<long>(text), Length(text));
}

[[noreturn]] static void Exit(int status) {
  for (;;) Sys(kSysExit, status);
}

[[noreturn]] static void Fail(const char* what, const char* name) {
  Say("pe-loader: ");
  Say(what);
  Say(name);
  Say("\n");
  Exit(2);
}

static void* Map(size_t address, size_t size, bool fixed) {
  enum { kAll = 7, kPrivate = 0x02, kFixed = 0x10, kAnonymous = 0x20 };
  long arguments[6] = {static_cast<long>(address),
                       static_cast<long>(size),
                       kAll,
                       kPrivate | kAnonymous | (fixed ? kFixed : 0),
                       -1,
                       0};
  long result = Sys(kSysOldMmap, reinterpret_cast<long>(arguments));
  if (result < 0 && result > -4096) return 0;
  return reinterpret_cast<void*>(result);
}

static char Fold(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

static bool SameName(const char* a, const char* b) {
  for (; *a && Fold(*a) == Fold(*b); ++a, ++b) {
  }
  return Fold(*a) == Fold(*b);
}

// ---- The Windows the program sees ----

static const char* drive_folder;
static const char* language;
static u32 image_base;
static u32 last_error;

static const char kWindowsDirectory[] = "C:\\windows";
static const char kSystemDirectory[] = "C:\\windows\\system32";

enum {
  kErrorFileNotFound = 2,
  kErrorPathNotFound = 3,
  kErrorAccessDenied = 5,
  kErrorFileExists = 80,
};
static const u32 kInvalidHandle = 0xFFFFFFFFu;
static const u32 kGenericWrite = 0x40000000u;
enum { kCreateAlways = 2, kOpenExisting = 3 };

// "C:\a\b" gives DRIVE-FOLDER/a/b; false for anything not on drive C.
static bool HostPath(const char* windows, char (&out)[1024]) {
  if (Fold(windows[0]) != 'c' || windows[1] != ':' || windows[2] != '\\') {
    return false;
  }
  size_t used = 0;
  for (const char* p = drive_folder; *p && used < sizeof out - 1; ++p) {
    out[used++] = *p;
  }
  for (const char* p = windows + 2; *p && used < sizeof out - 1; ++p) {
    out[used++] = *p == '\\' ? '/' : *p;
  }
  out[used] = '\0';
  return used < sizeof out - 1;
}

static u32 ErrorFor(long result) {
  if (result == -kNoEntry) return kErrorFileNotFound;
  if (result == -kNotDirectory) return kErrorPathNotFound;
  return kErrorAccessDenied;
}

// Win32's contract for a query: the length copied, or the size needed.
static u32 CopyResult(const char* text, char* buffer, u32 size) {
  size_t length = Length(text);
  if (length + 1 > size) return length + 1;
  memcpy(buffer, text, length + 1);
  return length;
}

static long OpenHost(const char* windows, int flags) {
  char path[1024];
  if (!HostPath(windows, path)) return -kNoEntry;
  return Sys(kSysOpen, reinterpret_cast<long>(path), flags, 0666);
}

// The process heap: a region handed out in order and never reused.
static u8* heap_next;
static u8* heap_end;

namespace k32 {

STDCALL u32 GetModuleHandleA(const char* name) {
  return name ? 0 : image_base;
}

STDCALL const char* GetCommandLineA() {
  return "DOSSETUP.EXE";
}

STDCALL void GetStartupInfoA(void* info) {
  memset(info, 0, 68);
  *static_cast<u32*>(info) = 68;
}

STDCALL void ExitProcess(u32 status) {
  Exit(static_cast<int>(status));
}

STDCALL u32 GetLastError() {
  return last_error;
}

STDCALL u32 GetWindowsDirectoryA(char* buffer, u32 size) {
  return CopyResult(kWindowsDirectory, buffer, size);
}

STDCALL u32 GetSystemDirectoryA(char* buffer, u32 size) {
  return CopyResult(kSystemDirectory, buffer, size);
}

// The names are short already; the path must exist.
STDCALL u32 GetShortPathNameA(const char* path, char* buffer, u32 size) {
  long fd = OpenHost(path, kReadOnly);
  if (fd < 0) {
    last_error = ErrorFor(fd);
    return 0;
  }
  Sys(kSysClose, fd);
  return CopyResult(path, buffer, size);
}

STDCALL u32 GetProfileStringA(const char* section, const char* key,
                              const char* fallback, char* buffer, u32 size) {
  const char* value = fallback ? fallback : "";
  if (section && key && SameName(section, "intl") &&
      SameName(key, "sLanguage")) {
    value = language;
  }
  if (size == 0) return 0;
  u32 count = 0;
  for (; value[count] && count < size - 1; ++count)
    buffer[count] = value[count];
  buffer[count] = '\0';
  return count;
}

STDCALL u32 CreateFileA(const char* path, u32 access, u32, void*,
                        u32 disposition, u32, u32) {
  bool writing = (access & kGenericWrite) != 0;
  int flags = writing ? kWriteOnly : kReadOnly;
  if (disposition == kCreateAlways) {
    flags |= kCreate | kTruncate;
  } else if (disposition != kOpenExisting) {
    Fail("CreateFileA disposition not supported for ", path);
  }
  // Windows opens no folder as a file.
  long folder = OpenHost(path, kReadOnly | kDirectory);
  if (folder >= 0) {
    Sys(kSysClose, folder);
    last_error = kErrorAccessDenied;
    return kInvalidHandle;
  }
  long fd = OpenHost(path, flags);
  if (fd < 0) {
    last_error = ErrorFor(fd);
    return kInvalidHandle;
  }
  return static_cast<u32>(fd);
}

STDCALL int ReadFile(u32 handle, void* buffer, u32 size, u32* count, void*) {
  long result = Sys(kSysRead, handle, reinterpret_cast<long>(buffer), size);
  *count = result > 0 ? static_cast<u32>(result) : 0;
  return result >= 0;
}

STDCALL int WriteFile(u32 handle, const void* data, u32 size, u32* count,
                      void*) {
  const u8* at = static_cast<const u8*>(data);
  *count = 0;
  while (*count < size) {
    long result = Sys(kSysWrite, handle, reinterpret_cast<long>(at + *count),
                      size - *count);
    if (result <= 0) return 0;
    *count += static_cast<u32>(result);
  }
  return 1;
}

STDCALL int CloseHandle(u32 handle) {
  return Sys(kSysClose, handle) == 0;
}

STDCALL int CopyFileA(const char* existing, const char* target,
                      int fail_if_exists) {
  long in = OpenHost(existing, kReadOnly);
  if (in < 0) return 0;
  long out = OpenHost(
      target, kWriteOnly | kCreate | (fail_if_exists ? kExclusive : kTruncate));
  bool ok = out >= 0;
  static u8 block[64 * 1024];
  for (long count;
       ok && (count = Sys(kSysRead, in, reinterpret_cast<long>(block),
                          sizeof block)) != 0;) {
    u32 wrote = 0;
    ok = count > 0 && WriteFile(static_cast<u32>(out), block,
                                static_cast<u32>(count), &wrote, 0);
  }
  Sys(kSysClose, in);
  if (out >= 0 && Sys(kSysClose, out) != 0) ok = false;
  return ok;
}

STDCALL int DeleteFileA(const char* path) {
  char host[1024];
  return HostPath(path, host) &&
         Sys(kSysUnlink, reinterpret_cast<long>(host)) == 0;
}

STDCALL u32 GetProcessHeap() {
  return 1;
}

STDCALL void* HeapAlloc(u32, u32 flags, u32 size) {
  enum { kZero = 8 };
  u32 rounded = (size + 15) & ~15u;
  if (rounded < size || static_cast<u32>(heap_end - heap_next) < rounded + 16) {
    return 0;
  }
  // Each block keeps its size before it, for HeapReAlloc.
  *reinterpret_cast<u32*>(heap_next) = size;
  void* block = heap_next + 16;
  heap_next += rounded + 16;
  if (flags & kZero) memset(block, 0, size);
  return block;
}

STDCALL void* HeapReAlloc(u32 heap, u32 flags, void* block, u32 size) {
  u32 old = *reinterpret_cast<u32*>(static_cast<u8*>(block) - 16);
  void* moved = HeapAlloc(heap, flags, size);
  if (moved) memcpy(moved, block, old < size ? old : size);
  return moved;
}

STDCALL int HeapFree(u32, u32, void*) {
  return 1;
}

}  // namespace k32

struct Export {
  const char* name;
  const void* function;
};

#define EXPORT(name) \
  { #name, reinterpret_cast < const void*>(&k32::name) }
static const Export kKernel32[] = {
    EXPORT(CloseHandle),         EXPORT(CopyFileA),
    EXPORT(CreateFileA),         EXPORT(DeleteFileA),
    EXPORT(ExitProcess),         EXPORT(GetCommandLineA),
    EXPORT(GetLastError),        EXPORT(GetModuleHandleA),
    EXPORT(GetProcessHeap),      EXPORT(GetProfileStringA),
    EXPORT(GetShortPathNameA),   EXPORT(GetStartupInfoA),
    EXPORT(GetSystemDirectoryA), EXPORT(GetWindowsDirectoryA),
    EXPORT(HeapAlloc),           EXPORT(HeapFree),
    EXPORT(HeapReAlloc),         EXPORT(ReadFile),
    EXPORT(WriteFile),
};
#undef EXPORT

// ---- Loading the image ----

static u8 file[1 << 20];

static u32 Read32(const u8* at) {
  return at[0] | at[1] << 8 | at[2] << 16 | static_cast<u32>(at[3]) << 24;
}

static u16 Read16(const u8* at) {
  return static_cast<u16>(at[0] | at[1] << 8);
}

static size_t ReadWholeFile(const char* path) {
  long fd = Sys(kSysOpen, reinterpret_cast<long>(path), kReadOnly, 0);
  if (fd < 0) Fail("cannot open ", path);
  size_t size = 0;
  for (long count;
       (count = Sys(kSysRead, fd, reinterpret_cast<long>(file + size),
                    sizeof file - size)) > 0;) {
    size += static_cast<size_t>(count);
  }
  Sys(kSysClose, fd);
  return size;
}

// Maps the image at its base and returns the entry point's address.
static u32 Load(const char* path) {
  size_t size = ReadWholeFile(path);
  if (size < 0x40 || file[0] != 'M' || file[1] != 'Z')
    Fail("not a PE image: ", path);
  u32 pe = Read32(file + 0x3C);
  if (pe > size - 0xF8 || Read32(file + pe) != 0x4550 ||
      Read16(file + pe + 4) != 0x14C) {
    Fail("not an i386 PE image: ", path);
  }
  u32 sections = Read16(file + pe + 6);
  const u8* optional = file + pe + 24;
  const u8* section = optional + Read16(file + pe + 20);
  image_base = Read32(optional + 28);
  u32 image_size = Read32(optional + 56);
  u32 header_size = Read32(optional + 60);
  if (section + 40 * sections > file + size || header_size > size) {
    Fail("truncated image: ", path);
  }
  u8* base = static_cast<u8*>(Map(image_base, image_size, true));
  if (reinterpret_cast<u32>(base) != image_base) Fail("cannot map ", path);
  memcpy(base, file, header_size);
  for (u32 i = 0; i < sections; ++i, section += 40) {
    u32 virtual_size = Read32(section + 8);
    u32 address = Read32(section + 12);
    u32 raw_size = Read32(section + 16);
    u32 raw_at = Read32(section + 20);
    u32 count = raw_size < virtual_size ? raw_size : virtual_size;
    if (raw_at > size || count > size - raw_at || address > image_size ||
        count > image_size - address) {
      Fail("section out of bounds in ", path);
    }
    memcpy(base + address, file + raw_at, count);
  }

  // Every import must be KERNEL32.DLL's, by name, and one we know.
  for (const u8* entry = base + Read32(optional + 104); Read32(entry + 12);
       entry += 20) {
    const char* dll = reinterpret_cast<const char*>(base + Read32(entry + 12));
    if (!SameName(dll, "KERNEL32.dll")) Fail("import from another DLL: ", dll);
    u32 names = Read32(entry) ? Read32(entry) : Read32(entry + 16);
    u32* slots = reinterpret_cast<u32*>(base + Read32(entry + 16));
    for (const u8* thunk = base + names; Read32(thunk); thunk += 4, ++slots) {
      if (Read32(thunk) & 0x80000000u) Fail("import by ordinal from ", dll);
      const char* name =
          reinterpret_cast<const char*>(base + Read32(thunk) + 2);
      const void* function = 0;
      for (const Export& known : kKernel32) {
        if (SameName(known.name, name)) function = known.function;
      }
      if (!function) Fail("unknown import KERNEL32.dll ", name);
      *slots = reinterpret_cast<u32>(function);
    }
  }
  return image_base + Read32(optional + 16);
}

extern "C" [[noreturn]] void Main(int argc, char** argv) {
  if (argc != 4) {
    Say("usage: pe-loader DOSSETUP.EXE DRIVE-FOLDER LANGUAGE\n");
    Exit(2);
  }
  drive_folder = argv[2];
  language = argv[3];
  enum { kHeapSize = 64 << 20 };
  heap_next = static_cast<u8*>(Map(0, kHeapSize, false));
  if (!heap_next) Fail("no memory for the heap", "");
  heap_end = heap_next + kHeapSize;
  u32 entry = Load(argv[1]);
  reinterpret_cast<void (*)()>(entry)();
  Fail("the entry point returned instead of calling ", "ExitProcess");
}

// The process starts here with argc, then argv, on the stack.
asm(".text\n"
    ".globl _start\n"
    "_start:\n"
    "  xorl %ebp, %ebp\n"
    "  movl %esp, %eax\n"
    "  andl $-16, %esp\n"
    "  leal 4(%eax), %ecx\n"
    "  subl $8, %esp\n"
    "  pushl %ecx\n"
    "  pushl (%eax)\n"
    "  call Main\n"
    "  hlt\n");
