/* Tells whether this kernel lets a 64-bit process run 32-bit code, as
 * Wine's WoW64 mode does: a far call through the 32-bit user code segment
 * (selector 0x23) to a few 32-bit instructions. Some kernels give 64-bit
 * processes no such segment, and the call faults. The call is made in a
 * child process, so a fault is an answer, not a crash.
 *
 * Exit status 0 and "yes" when the code ran, 1 and "no" when it did not. */
#define _GNU_SOURCE
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

enum { kPage = 65536, kAnswer = 42 };

int main(void) {
  /* In 32-bit mode only the low 4 GB can be reached: the code, its stack
   * and the far pointer all live in one page there. */
  unsigned char *low = mmap(NULL, kPage, PROT_READ | PROT_WRITE | PROT_EXEC,
                            MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
  if (low == MAP_FAILED) {
    puts("no: cannot map memory below 4 GB");
    return 1;
  }
  static const unsigned char code32[] = {
      0xB8, kAnswer, 0, 0, 0, /* mov eax, 42 */
      0xCB};                  /* retf: back to 64-bit mode */
  static const unsigned char stub64[] = {
      0x48, 0x89, 0xF4,       /* mov rsp, rsi: the low stack */
      0xFF, 0x1F,             /* call far [rdi]: into 32-bit mode */
      0x89, 0xC7,             /* mov edi, eax */
      0xB8, 0xE7, 0, 0, 0,    /* mov eax, exit_group */
      0x0F, 0x05};            /* syscall */
  const unsigned int far_pointer[2] = {(unsigned int)(unsigned long)low, 0x23};
  memcpy(low, code32, sizeof code32);
  memcpy(low + 64, stub64, sizeof stub64);
  memcpy(low + 128, far_pointer, sizeof far_pointer);

  fflush(stdout);
  pid_t child = fork();
  if (child == 0) {
    ((void (*)(void *, void *))(low + 64))(low + 128, low + kPage - 16);
    _exit(1);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) {
    puts("no: cannot start the test process");
    return 1;
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == kAnswer) {
    puts("yes");
    return 0;
  }
  puts("no: this kernel gives 64-bit processes no 32-bit code segment");
  return 1;
}
