#pragma once
#include <cstdint>
#include <map>
#include <string>

#include "xsvf/xsvf_commands.hpp"

namespace tarn::tools {

// What a walk of an XSVF stream's command grammar found. Only the operand
// layout is followed: no chain is driven and nothing is compared.
struct XsvfCensus {
  uint32_t commandCount = 0;                         // command codes read, XCOMPLETE included
  uint32_t perCode[xsvf_command::count] = {};        // count per command code
  std::map<uint32_t, uint32_t> dataRegisterBits;     // XSDRSIZE lengths -> times set
  std::map<uint32_t, uint32_t> instructionBits;      // XSIR/XSIR2 lengths -> shifts
  std::map<int32_t, uint32_t> runTestTimes;          // XRUNTEST times (µs) -> times set
  std::map<int32_t, uint32_t> shiftsPerRunTestTime;  // run-test time in force -> shifts waiting it
  std::map<uint32_t, uint32_t> repeatCounts;         // XREPEAT values -> times set
  std::map<uint32_t, uint32_t> stateTargets;         // XSTATE states -> times
  uint64_t mandatedWaitMicroseconds =
      0;  // run-test waits after shifts plus XWAIT times, no retries
};

struct XsvfWalkResult {
  bool ok = false;      // the grammar ends with XCOMPLETE exactly at the stream's size
  int64_t offset = 0;   // where the walk stopped: offset of the failing or last command
  std::string problem;  // empty when ok
};

// Walks the stream command by command with the operand sizes of the 24 codes,
// XSDRSIZE setting the byte count of every data-register value.
XsvfWalkResult walkXsvf(const uint8_t* data, int64_t size, XsvfCensus* census);

// The names of the 24 command codes, for reports.
const char* xsvfCommandName(uint32_t code);

}  // namespace tarn::tools
