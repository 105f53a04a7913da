// Loaded into the 64-bit wineserver that serves the emulated 32-bit Wine
// (LD_PRELOAD, set by the folder's wineserver launcher).
//
// qemu-user places the guest's 4 GiB at a fixed distance from the host's
// addresses (the launchers ask for kGuestBase with -B), but the wineserver
// reads and writes a client's memory at the client's own addresses, through
// /proc/PID/mem and ptrace. Another process's memory (ReadProcessMemory,
// WriteProcessMemory: the sheet probe reads the tab titles that way) would
// then be the wrong bytes. Here those addresses are moved by the distance.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <sys/ptrace.h>
#include <sys/types.h>
#include <unistd.h>

enum { kGuestBase = 0x10000, kMaxFd = 4096 };

// The descriptors open on some /proc/PID/mem.
static unsigned char memoryFile[kMaxFd];

static int isMemoryFile(int fd) { return fd >= 0 && fd < kMaxFd && memoryFile[fd]; }

int open(const char* path, int flags, ...) {
  static int (*next)(const char*, int, ...);
  if (next == NULL) next = (int (*)(const char*, int, ...))dlsym(RTLD_NEXT, "open");
  mode_t mode = 0;
  if (flags & O_CREAT) {
    va_list arguments;
    va_start(arguments, flags);
    mode = va_arg(arguments, mode_t);
    va_end(arguments);
  }
  const int fd = next(path, flags, mode);
  unsigned pid;
  int end = -1;
  if (fd >= 0 && fd < kMaxFd)
    memoryFile[fd] = sscanf(path, "/proc/%u/mem%n", &pid, &end) == 1 && end > 0 && path[end] == 0;
  return fd;
}

int close(int fd) {
  static int (*next)(int);
  if (next == NULL) next = (int (*)(int))dlsym(RTLD_NEXT, "close");
  if (fd >= 0 && fd < kMaxFd) memoryFile[fd] = 0;
  return next(fd);
}

ssize_t pread(int fd, void* buffer, size_t size, off_t offset) {
  static ssize_t (*next)(int, void*, size_t, off_t);
  if (next == NULL) next = (ssize_t(*)(int, void*, size_t, off_t))dlsym(RTLD_NEXT, "pread");
  return next(fd, buffer, size, isMemoryFile(fd) ? offset + kGuestBase : offset);
}

ssize_t pwrite(int fd, const void* buffer, size_t size, off_t offset) {
  static ssize_t (*next)(int, const void*, size_t, off_t);
  if (next == NULL) next = (ssize_t(*)(int, const void*, size_t, off_t))dlsym(RTLD_NEXT, "pwrite");
  return next(fd, buffer, size, isMemoryFile(fd) ? offset + kGuestBase : offset);
}

long ptrace(enum __ptrace_request request, ...) {
  static long (*next)(enum __ptrace_request, pid_t, void*, void*);
  if (next == NULL)
    next = (long (*)(enum __ptrace_request, pid_t, void*, void*))dlsym(RTLD_NEXT, "ptrace");
  va_list arguments;
  va_start(arguments, request);
  const pid_t pid = va_arg(arguments, pid_t);
  char* address = va_arg(arguments, char*);
  void* data = va_arg(arguments, void*);
  va_end(arguments);
  if (request == PTRACE_PEEKDATA || request == PTRACE_POKEDATA || request == PTRACE_PEEKTEXT ||
      request == PTRACE_POKETEXT)
    address += kGuestBase;
  return next(request, pid, address, data);
}
