// The few C library functions the program calls, and those the compiler
// emits calls to, so that it needs no C runtime DLL. Memory comes from the
// process heap. Built freestanding, so that these loops are never turned
// back into calls to themselves.
#include <stddef.h>

#include "platform/platform.h"

extern "C" {

void* memcpy(void* to, const void* from, size_t count) {
  char* out = static_cast<char*>(to);
  const char* in = static_cast<const char*>(from);
  while (count-- > 0) *out++ = *in++;
  return to;
}

void* memmove(void* to, const void* from, size_t count) {
  char* out = static_cast<char*>(to);
  const char* in = static_cast<const char*>(from);
  if (out <= in || out >= in + count) return memcpy(to, from, count);
  // Overlapping with the source ahead: copy from the end.
  while (count-- > 0) out[count] = in[count];
  return to;
}

void* memset(void* to, int value, size_t count) {
  unsigned char* out = static_cast<unsigned char*>(to);
  while (count-- > 0) *out++ = static_cast<unsigned char>(value);
  return to;
}

int memcmp(const void* a, const void* b, size_t count) {
  const unsigned char* x = static_cast<const unsigned char*>(a);
  const unsigned char* y = static_cast<const unsigned char*>(b);
  for (; count > 0; --count, ++x, ++y) {
    if (*x != *y) return *x < *y ? -1 : 1;
  }
  return 0;
}

void* memchr(const void* from, int value, size_t count) {
  const unsigned char* at = static_cast<const unsigned char*>(from);
  for (; count > 0; --count, ++at) {
    if (*at == static_cast<unsigned char>(value)) {
      return const_cast<unsigned char*>(at);
    }
  }
  return NULL;
}

size_t strlen(const char* text) {
  const char* end = text;
  while (*end != '\0') ++end;
  return static_cast<size_t>(end - text);
}

void* malloc(size_t size) {
  return HeapAlloc(GetProcessHeap(), 0, size);
}

void* realloc(void* block, size_t size) {
  if (!block) return malloc(size);
  return HeapReAlloc(GetProcessHeap(), 0, block, size);
}

void free(void* block) {
  if (block) HeapFree(GetProcessHeap(), 0, block);
}

}  // extern "C"

// Functions with more than a page of locals (the 64 KiB write buffer) call
// this first with the size in EAX, to touch each page of the new frame in
// order, so that the stack's guard page grows it. Every register is kept.
asm(".text\n"
    ".globl ___chkstk_ms\n"
    "___chkstk_ms:\n"
    "  pushl %ecx\n"
    "  pushl %eax\n"
    "  leal 12(%esp), %ecx\n"  // the caller's stack pointer
    "1:\n"
    "  cmpl $0x1000, %eax\n"
    "  jb 2f\n"
    "  subl $0x1000, %ecx\n"
    "  orl $0, (%ecx)\n"
    "  subl $0x1000, %eax\n"
    "  jmp 1b\n"
    "2:\n"
    "  subl %eax, %ecx\n"
    "  orl $0, (%ecx)\n"
    "  popl %eax\n"
    "  popl %ecx\n"
    "  ret\n");
