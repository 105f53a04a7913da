// The handlers of the 24 XSVF commands. Each reads exactly its operands, acts,
// keeps a nonzero result in the context's `error` and returns it. A handler
// whose operands run past the end of the stream acts on nothing it read: it
// stops there and the step reports the damaged stream (xsvfStep).
#include <bit>

#include "xsvf/interpreter.hpp"
#include "xsvf/shift_engine.hpp"

namespace tarn {
namespace {

using namespace xsvf_command;

XsvfError fail(XsvfContext& context, XsvfError result) {
  if (result != xsvf_error::none) context.error = result;
  return result;
}

bool operandsMissing(XsvfContext& context) {
  if (!streamOverrun(*context.stream)) return false;
  context.error = xsvf_error::unknownError;
  return true;
}

uint8_t readByte(XsvfContext& context) {
  uint8_t value = 0;
  readStreamByte(*context.stream, &value);
  return value;
}

// A 2- or 4-byte big-endian operand, read through tdiValue.
uint32_t readInteger(XsvfContext& context, int16_t bytes) {
  readShiftBuffer(*context.stream, context.tdiValue, bytes);
  return bufferValue(context.tdiValue);
}

// The data-register scan of XSDR and XSDRINC: capture, masked compare, retries.
XsvfError shiftDataValue(XsvfContext& context) {
  return shiftWithRetry(*context.port, context.tapState, kTapDrShift,
                        int32_t(context.shiftLengthBits), context.tdiValue, &context.tdoCaptured,
                        &context.tdoExpected, &context.tdoMask, context.endDrState,
                        context.runTestTime, context.maxRepeat);
}

XsvfError shiftInstruction(XsvfContext& context, int32_t bitCount) {
  if (bitsToBytes(bitCount) > MAX_LEN) return fail(context, xsvf_error::dataOverflow);
  readShiftBuffer(*context.stream, context.tdiValue, int16_t(bitsToBytes(bitCount)));
  if (operandsMissing(context)) return context.error;
  return fail(context, shiftWithRetry(*context.port, context.tapState, kTapIrShift, bitCount,
                                      context.tdiValue, nullptr, nullptr, nullptr,
                                      context.endIrState, context.runTestTime, 0));
}

XsvfError xComplete(XsvfContext& context) {
  context.complete = 1;
  return xsvf_error::none;
}

XsvfError xTdoMask(XsvfContext& context) {
  readShiftBuffer(*context.stream, context.tdoMask, context.shiftLengthBytes);
  return xsvf_error::none;
}

XsvfError xSir(XsvfContext& context) { return shiftInstruction(context, readByte(context)); }

XsvfError xSir2(XsvfContext& context) {
  return shiftInstruction(context, int32_t(readInteger(context, 2)));
}

XsvfError xSdr(XsvfContext& context) {
  readShiftBuffer(*context.stream, context.tdiValue, context.shiftLengthBytes);
  if (operandsMissing(context)) return context.error;
  return fail(context, shiftDataValue(context));
}

XsvfError xRunTest(XsvfContext& context) {
  context.runTestTime = int32_t(readInteger(context, 4));
  return xsvf_error::none;
}

XsvfError xRepeat(XsvfContext& context) {
  readStreamByte(*context.stream, &context.maxRepeat);
  return xsvf_error::none;
}

XsvfError xSdrSize(XsvfContext& context) {
  context.shiftLengthBits = readInteger(context, 4);
  // Tested on the full 32 bits, so that no length can wrap to a small count.
  if (context.shiftLengthBits > uint32_t(MAX_LEN) * 8u) {
    return fail(context, xsvf_error::dataOverflow);
  }
  context.shiftLengthBytes = int16_t(bitsToBytes(int32_t(context.shiftLengthBits)));
  return xsvf_error::none;
}

XsvfError xSdrTdo(XsvfContext& context) {
  return fail(context, shiftDataRegister(*context.port, *context.stream, context.tapState,
                                         int32_t(context.shiftLengthBits), context.shiftLengthBytes,
                                         context.tdiValue, &context.tdoCaptured,
                                         &context.tdoExpected, &context.tdoMask, context.endDrState,
                                         context.runTestTime, context.maxRepeat));
}

XsvfError xSetSdrMasks(XsvfContext& context) {
  readShiftBuffer(*context.stream, context.addressMask, context.shiftLengthBytes);
  readShiftBuffer(*context.stream, context.dataMask, context.shiftLengthBytes);
  return xsvf_error::none;
}

XsvfError xSdrInc(XsvfContext& context) {
  readShiftBuffer(*context.stream, context.tdiValue, context.shiftLengthBytes);
  if (operandsMissing(context)) return context.error;
  XsvfError result = shiftDataValue(context);
  if (result != xsvf_error::none) return fail(context, result);

  int32_t dataBitCount = 0;
  for (int i = 0; i < context.dataMask.length; ++i) {
    dataBitCount += std::popcount(context.dataMask.data[i]);
  }
  const uint8_t shifts = readByte(context);
  for (int n = 0; n < shifts && result == xsvf_error::none; ++n) {
    readShiftBuffer(*context.stream, context.incrementData, int16_t(bitsToBytes(dataBitCount)));
    if (operandsMissing(context)) return context.error;
    mergeIncrementData(context.tdiValue, context.incrementData, context.addressMask,
                       context.dataMask);
    result = shiftDataValue(context);
  }
  return fail(context, result);
}

// XSDRB, XSDRC, XSDRE: no capture, no compare; only XSDRE leaves DRSHIFT.
XsvfError xSdrBce(XsvfContext& context) {
  const TapState endState = context.command == XSDRE ? context.endDrState : kTapDrShift;
  return fail(context,
              shiftDataRegister(*context.port, *context.stream, context.tapState,
                                int32_t(context.shiftLengthBits), context.shiftLengthBytes,
                                context.tdiValue, nullptr, nullptr, nullptr, endState, 0, 0));
}

// XSDRTDOB, XSDRTDOC, XSDRTDOE: full compare without mask or retries.
XsvfError xSdrTdoBce(XsvfContext& context) {
  const TapState endState = context.command == XSDRTDOE ? context.endDrState : kTapDrShift;
  return fail(context, shiftDataRegister(*context.port, *context.stream, context.tapState,
                                         int32_t(context.shiftLengthBits), context.shiftLengthBytes,
                                         context.tdiValue, &context.tdoCaptured,
                                         &context.tdoExpected, nullptr, endState, 0, 0));
}

XsvfError xState(XsvfContext& context) {
  const TapState state = readByte(context);
  if (operandsMissing(context)) return context.error;
  return fail(context, moveTapTo(*context.port, context.tapState, state));
}

// XENDIR and XENDDR: selector 0 ends in RUNTEST/IDLE, 1 in the pause state.
XsvfError xEndXr(XsvfContext& context) {
  const uint8_t selector = readByte(context);
  if (selector > 1) return fail(context, xsvf_error::illegalState);
  if (context.command == XENDIR) {
    context.endIrState = selector == 0 ? kTapRunTestIdle : kTapIrPause;
  } else {
    context.endDrState = selector == 0 ? kTapRunTestIdle : kTapDrPause;
  }
  return xsvf_error::none;
}

XsvfError xComment(XsvfContext& context) {
  XsvfStream& stream = *context.stream;
  const bool echo = context.commentEchoLevel > 0 && context.comments != nullptr;
  int32_t lineStart = stream.readIndex;
  bool first = true;
  uint8_t c = 0;
  do {
    readStreamByte(stream, &c);
    if (echo && (c == 0 || c == '\n')) {
      // The 0 that a read past the end yields is no part of the text.
      const bool cutOff = streamOverrun(stream);
      const int32_t end = cutOff ? stream.streamSize : stream.readIndex - 1;
      const auto* text = reinterpret_cast<const char*>(stream.streamData) + lineStart;
      context.comments->commentLine(CommentLine{{text, size_t(end - lineStart)}, first, cutOff});
      first = false;
      lineStart = stream.readIndex;
    }
  } while (c != 0);
  context.error = xsvf_error::none;
  return xsvf_error::none;
}

XsvfError xWait(XsvfContext& context) {
  readShiftBuffer(*context.stream, context.tdiValue, 1);
  const TapState waitState = context.tdiValue.data[0];
  readShiftBuffer(*context.stream, context.tdiValue, 1);
  const TapState endState = context.tdiValue.data[0];
  const auto time = int32_t(readInteger(context, 4));
  if (operandsMissing(context)) return context.error;
  // The moves' results are not used: a refused state still waits.
  if (context.tapState != waitState) moveTapTo(*context.port, context.tapState, waitState);
  waitMicroseconds(*context.port, time);
  if (context.tapState != endState) moveTapTo(*context.port, context.tapState, endState);
  return xsvf_error::none;
}

}  // namespace

constexpr CommandHandlerEntry commandHandlers[xsvf_command::count] = {
    {XCOMPLETE, xComplete},
    {XTDOMASK, xTdoMask},
    {XSIR, xSir},
    {XSDR, xSdr},
    {XRUNTEST, xRunTest},
    {RESERVED5, illegalCommand},
    {RESERVED6, illegalCommand},
    {XREPEAT, xRepeat},
    {XSDRSIZE, xSdrSize},
    {XSDRTDO, xSdrTdo},
    {XSETSDRMASKS, xSetSdrMasks},
    {XSDRINC, xSdrInc},
    {XSDRB, xSdrBce},
    {XSDRC, xSdrBce},
    {XSDRE, xSdrBce},
    {XSDRTDOB, xSdrTdoBce},
    {XSDRTDOC, xSdrTdoBce},
    {XSDRTDOE, xSdrTdoBce},
    {XSTATE, xState},
    {XENDIR, xEndXr},
    {XENDDR, xEndXr},
    {XSIR2, xSir2},
    {XCOMMENT, xComment},
    {XWAIT, xWait},
};
static_assert(indexedByCode(commandHandlers));

void mergeIncrementData(ShiftBuffer& tdiValue, const ShiftBuffer& incrementData,
                        const ShiftBuffer& addressMask, const ShiftBuffer& dataMask) {
  // The add walks the TDI value's length, both values aligned at their most
  // significant byte. A stream may have changed the length since it set the
  // masks; mask bytes it never supplied count as 0, so only bytes the stream
  // gave take part. With equal lengths this is addBuffers(tdi, tdi, mask).
  unsigned carry = 0;
  for (int i = tdiValue.length - 1; i >= 0; --i) {
    const unsigned addend = i < addressMask.length ? addressMask.data[i] : 0u;
    const unsigned sum = unsigned(tdiValue.data[i]) + addend + carry;
    tdiValue.data[i] = uint8_t(sum & 0xFF);
    carry = sum > 255 ? 1 : 0;
  }

  // The k-th 1 bit of the data mask, counted from its least significant bit,
  // takes bit k of the data value. Mask bytes beyond the TDI value's length
  // still count their bits but have no TDI byte to write.
  int32_t k = 0;
  for (int i = dataMask.length - 1; i >= 0; --i) {
    const uint8_t mask = dataMask.data[i];
    if (mask == 0) continue;
    for (int bit = 0; bit < 8; ++bit) {
      if ((mask & (1u << bit)) == 0) continue;
      const int32_t dataIndex = incrementData.length - 1 - k / 8;
      const bool set = dataIndex >= 0 && ((incrementData.data[dataIndex] >> (k % 8)) & 1u) != 0;
      if (i < tdiValue.length) {
        if (set) {
          tdiValue.data[i] = uint8_t(tdiValue.data[i] | (1u << bit));
        } else {
          tdiValue.data[i] = uint8_t(tdiValue.data[i] & ~(1u << bit));
        }
      }
      ++k;
    }
  }
}

}  // namespace tarn
