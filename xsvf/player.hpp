#pragma once
#include <cstdint>
#include <cstdio>

#include "jtag/jtag_port.hpp"
#include "xsvf/xsvf_stream.hpp"

namespace tarn {

// The result of every XSVF operation and of a play; the texts are errorTexts.
using XsvfError = int32_t;
namespace xsvf_error {
inline constexpr XsvfError none = 0;
inline constexpr XsvfError unknownError = 1;  // also: the stream ended inside a command
inline constexpr XsvfError tdoMismatch = 2;
inline constexpr XsvfError retriesExceeded = 3;
inline constexpr XsvfError unsupportedCommand = 4;
inline constexpr XsvfError illegalState = 5;
inline constexpr XsvfError dataOverflow = 6;
inline constexpr int count = 7;
}  // namespace xsvf_error

extern const char* const errorTexts[xsvf_error::count];

// Plays the stream into the card's JTAG chain: port enable, chain reset, the
// command loop, port release (the value 16, whatever the result). XCOMMENT
// text is echoed to `echo` when commentEchoLevel is above 0; a null `echo`
// takes it nowhere (a front end that owns the screen). Allocates nothing.
XsvfError playXsvf(JtagPort& port, XsvfStream& stream, int32_t commentEchoLevel,
                   std::FILE* echo = stdout);

}  // namespace tarn
