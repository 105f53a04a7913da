// A check of preload.c's handler wrapping, built as a static i386 program
// with the library inside and a stand-in for the C library's sigaction that
// keeps the installed actions. A program's handler, installed, read back and
// installed again as Wine restores a saved action, must run once for a fault
// and see the trap number filled in. Exits 0 when it does; a wrapper that
// wraps itself runs away instead.
#include "preload.c"

static struct Action installed[kNoSignals];
static int error;
static int handlerCalls;
static int trapSeen;

int* __errno_location(void) { return &error; }

int __sigaction(int number, const struct Action* action, struct Action* old) {
  if (old != 0) *old = installed[number];
  if (action != 0) installed[number] = *action;
  return 0;
}

static void programHandler(int number, struct SignalInfo* info, void* context) {
  (void)number;
  (void)info;
  handlerCalls++;
  trapSeen = ((struct SignalContext*)context)->registers[kTrapNumberRegister];
}

static void __attribute__((noreturn)) exitWith(int status) {
  __asm__ volatile("int $0x80" : : "a"(1), "b"(status));
  __builtin_unreachable();
}

void _start(void) {
  struct Action action = {programHandler, {0}, kSigInfo, 0};
  struct Action saved;
  sigaction(kSigSegv, &action, 0);
  sigaction(kSigSegv, 0, &saved);
  sigaction(kSigSegv, &saved, 0);
  struct SignalInfo info = {kSigSegv, 0, 1};
  struct SignalContext context = {0};
  context.registers[kTrapNumberRegister] = kUnknownTrap;
  installed[kSigSegv].handler(kSigSegv, &info, &context);
  exitWith(handlerCalls == 1 && trapSeen == 14 ? 0 : 1);
}
