#pragma once
#include <cstdint>
#include <cstdio>

#include "jtag/jtag_port.hpp"
#include "xsvf/xsvf_stream.hpp"

namespace tarn {

using XsvfError = int32_t;  // 0 none ... 6 dataOverflow

// Plays the stream into the card's JTAG chain: port enable, chain reset, the
// command loop, port release. XCOMMENT text is echoed to `echo` when
// commentEchoLevel is above 0.
XsvfError playXsvf(JtagPort& port, XsvfStream& stream, int32_t commentEchoLevel,
                   std::FILE* echo = stdout);

}  // namespace tarn
