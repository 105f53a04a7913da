// Loaded into every process of the emulated 32-bit Wine (the i386 folder's
// etc/ld.so.preload lists it) to mend two ways in which qemu-user 7.2 differs
// from the kernel, and which Wine depends on:
//
// - qemu treats MAP_FIXED_NOREPLACE as a hint: a request for a range that is
//   taken comes back mapped elsewhere. Wine keeps such mappings when they lie
//   above its own limit, which fills the space where it then needs the
//   shared user data page (0x7FFE0000), and it reserves the area above that
//   page by splitting a refused range in two down to 64 KiB, one emulated
//   mapping each, about two minutes per process. Here a request that does
//   not land where asked is undone and refused with EEXIST, as the kernel
//   does, and one above 0x7FFE0000 is refused at once: a 32-bit program that
//   is not large-address-aware never uses that area.
// - qemu leaves the trap number in a signal's context at -1. Wine reads it
//   to tell a page fault (a guard page, a write watch, a stack to grow) from
//   an illegal instruction, and without it every such fault kills the
//   process. Here Wine's handlers are wrapped, and the trap number is filled
//   in from the signal before they run.
//
// Freestanding: no C library to link against. Memory requests go straight to
// the system; errno and the C library's own sigaction are taken from it at
// run time.

typedef unsigned int size_t;
typedef long long off64_t;

enum {
  kMapFixedNoReplace = 0x100000,
  kSysMunmap = 91,
  kSysMmap2 = 192,
  kPageShift = 12,
  kEexist = 17,
  kEinval = 22,
  kSigTrap = 5,
  kSigFpe = 8,
  kSigSegv = 11,
  kSigInfo = 4,  // SA_SIGINFO
  kSiKernel = 0x80,
  kTrapBreakpoint = 1,  // TRAP_BRKPT
  kFpeIntDivide = 1,    // FPE_INTDIV
  kUnknownTrap = -1,
  kNoSignals = 65,
};
static const unsigned long kHighArea = 0x7ffe0000UL;

// The parts of the i386 records that are read or written here.
struct SignalInfo {
  int number;
  int error;
  int code;
};
struct SignalContext {
  unsigned long flags;
  void* link;
  void* stack[3];
  int registers[19];  // gs fs es ds edi esi ebp esp ebx edx ecx eax trapno err ...
};
enum { kTrapNumberRegister = 12 };
typedef void (*Handler)(int, struct SignalInfo*, void*);
struct Action {
  Handler handler;
  unsigned long mask[32];
  int flags;
  void (*restorer)(void);
};

int* __errno_location(void);
int __sigaction(int number, const struct Action* action, struct Action* old);

static void* mmap2(void* address, size_t length, int protection, int flags, int fd,
                   unsigned long pageOffset) {
  // The sixth argument goes in ebp, which cannot be named as an operand: eax
  // brings its address, then the call's number.
  long result;
  __asm__ volatile(
      "push %%ebp\n\t"
      "mov (%%eax), %%ebp\n\t"
      "mov %[number], %%eax\n\t"
      "int $0x80\n\t"
      "pop %%ebp"
      : "=a"(result)
      : "a"(&pageOffset), [number] "i"(kSysMmap2), "b"(address), "c"(length), "d"(protection),
        "S"(flags), "D"(fd)
      : "memory");
  if ((unsigned long)result > -4096UL) {
    *__errno_location() = (int)-result;
    return (void*)-1;
  }
  return (void*)result;
}

static void munmap(void* address, size_t length) {
  long result;
  __asm__ volatile("int $0x80"
                   : "=a"(result)
                   : "0"(kSysMunmap), "b"(address), "c"(length)
                   : "memory");
}

static void* fail(int error) {
  *__errno_location() = error;
  return (void*)-1;
}

void* mmap64(void* address, size_t length, int protection, int flags, int fd, off64_t offset) {
  // mmap2 counts the offset in pages; one inside a page is refused, as by mmap.
  if ((offset & ((1 << kPageShift) - 1)) != 0) return fail(kEinval);
  unsigned long pageOffset = (unsigned long)(offset >> kPageShift);
  if ((flags & kMapFixedNoReplace) == 0)
    return mmap2(address, length, protection, flags, fd, pageOffset);
  if ((unsigned long)address > kHighArea) return fail(kEexist);
  void* mapped = mmap2(address, length, protection, flags, fd, pageOffset);
  if (mapped == (void*)-1 || mapped == address) return mapped;
  munmap(mapped, length);
  return fail(kEexist);
}

void* mmap(void* address, size_t length, int protection, int flags, int fd, long offset) {
  return mmap64(address, length, protection, flags, fd, offset);
}

static Handler wrappedHandlers[kNoSignals];

// The trap number the processor gave, as far as the signal tells it.
static int trapNumber(int number, const struct SignalInfo* info) {
  switch (number) {
    case kSigSegv:
      return info->code == kSiKernel ? 13 : 14;  // protection fault, page fault
    case kSigTrap:
      return info->code == kTrapBreakpoint ? 3 : 1;
    case kSigFpe:
      return info->code == kFpeIntDivide ? 0 : 16;
    default:
      return kUnknownTrap;
  }
}

static void fillTrapNumber(int number, struct SignalInfo* info, void* context) {
  struct SignalContext* signalContext = context;
  if (signalContext->registers[kTrapNumberRegister] == kUnknownTrap)
    signalContext->registers[kTrapNumberRegister] = trapNumber(number, info);
  wrappedHandlers[number](number, info, context);
}

// An action read back holds the wrapper as its handler; Wine installs such an
// action again when it restores one it saved, and it must stay the wrapper of
// the handler it wraps, not become its own.
int sigaction(int number, const struct Action* action, struct Action* old) {
  if (action == 0 || (action->flags & kSigInfo) == 0 || (unsigned long)action->handler <= 1 ||
      action->handler == fillTrapNumber ||
      number <= 0 || number >= kNoSignals ||
      trapNumber(number, &(struct SignalInfo){0, 0, 0}) == kUnknownTrap)
    return __sigaction(number, action, old);
  struct Action wrapped = *action;
  wrappedHandlers[number] = action->handler;
  wrapped.handler = fillTrapNumber;
  return __sigaction(number, &wrapped, old);
}
