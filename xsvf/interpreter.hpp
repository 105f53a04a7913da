#pragma once
#include <cstdint>
#include <cstdio>

#include "jtag/jtag_port.hpp"
#include "xsvf/player.hpp"
#include "xsvf/shift_buffer.hpp"
#include "xsvf/tap_state.hpp"
#include "xsvf/xsvf_commands.hpp"
#include "xsvf/xsvf_stream.hpp"

namespace tarn {

// The interpreter's state for one play: one fixed-size record with its seven
// buffers inline, so that a play needs no other memory. The last four members
// are the world the play runs in.
struct XsvfContext {
  uint8_t complete;
  uint8_t command;
  uint32_t commandCount;
  XsvfError error;
  TapState tapState;
  TapState endIrState;
  TapState endDrState;
  uint8_t maxRepeat;
  int32_t runTestTime;
  uint32_t shiftLengthBits;
  int16_t shiftLengthBytes;
  ShiftBuffer tdiValue;
  ShiftBuffer tdoExpected;
  ShiftBuffer tdoCaptured;
  ShiftBuffer tdoMask;
  ShiftBuffer addressMask;
  ShiftBuffer dataMask;
  ShiftBuffer incrementData;

  JtagPort* port;
  XsvfStream* stream;
  int32_t commentEchoLevel;
  CommentSink* comments;
};

using CommandHandler = XsvfError (*)(XsvfContext& context);
struct CommandHandlerEntry {
  uint8_t code;
  CommandHandler handler;
};
// Indexed by command code.
extern const CommandHandlerEntry commandHandlers[xsvf_command::count];

XsvfError resetContext(XsvfContext& context);
XsvfError xsvfBegin(XsvfContext& context);
XsvfError xsvfStep(XsvfContext& context);
void xsvfEnd(XsvfContext& context);
XsvfError illegalCommand(XsvfContext& context);

// XSDRINC's step between shifts: add the address mask to the TDI value, then
// scatter the data value's bits into the places the data mask marks.
void mergeIncrementData(ShiftBuffer& tdiValue, const ShiftBuffer& incrementData,
                        const ShiftBuffer& addressMask, const ShiftBuffer& dataMask);

}  // namespace tarn
