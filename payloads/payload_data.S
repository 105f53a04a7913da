/* The payload files of the build's payload folder (one per row of
   payload_list.def), linked in as constant data. Each NAME.bin becomes the C
   symbol tarn_payload_NAME, its first byte; its size is the list's. Written for ELF and for
   COFF (i686 MinGW: read-only data in .rdata, C symbols with a leading
   underscore; 64-bit Windows has none). The folder and the source tree are
   on the assembler's include path; CMake makes this file depend on every .bin. */

#define TARN_CAT2(a, b) a##b
#define TARN_CAT(a, b) TARN_CAT2(a, b)
#define TARN_STR2(x) #x
#define TARN_STR(x) TARN_STR2(x)
#if defined(__ELF__) || defined(__x86_64__)
#define TARN_SYM(name) TARN_CAT(tarn_payload_, name)
#else
#define TARN_SYM(name) TARN_CAT(_tarn_payload_, name)
#endif

#if defined(__ELF__)
#define TARN_SECTION .section .rodata.tarn_payloads, "a", @progbits
#define TARN_OBJECT(sym) .type sym, @object
#define TARN_SIZE(sym) .size sym, . - sym
#else
#define TARN_SECTION .section .rdata, "dr"
#define TARN_OBJECT(sym)
#define TARN_SIZE(sym)
#endif

#define TARN_EMBED(name)                                          \
  TARN_SECTION;                                                   \
  .globl TARN_SYM(name);                                          \
  .balign 16;                                                     \
  TARN_OBJECT(TARN_SYM(name));                                    \
  TARN_SYM(name) :;                                               \
  .incbin TARN_STR(name.bin);                                     \
  TARN_SIZE(TARN_SYM(name))

#define TARN_PAYLOAD(name, kind, size) TARN_EMBED(name)
#include "payloads/payload_list.def"
#undef TARN_PAYLOAD

#if defined(__ELF__)
  .section .note.GNU-stack, "", @progbits
#endif
