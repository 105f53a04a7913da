#include "xsvf/interpreter.hpp"

#include "card/registers.hpp"

namespace tarn {

const char* const errorTexts[xsvf_error::count] = {
    "No error",
    "ERROR:  Unknown",
    "ERROR:  TDO mismatch",
    "ERROR:  TDO mismatch and exceeded max retries",
    "ERROR:  Unsupported XSVF command",
    "ERROR:  Illegal state specification",
    "ERROR:  Data overflows allocated MAX_LEN buffer size",
};

XsvfError resetContext(XsvfContext& context) {
  context.complete = 0;
  context.command = 0;
  context.commandCount = 0;
  context.error = xsvf_error::none;
  context.tapState = kTapReset;
  context.endIrState = kTapRunTestIdle;
  context.endDrState = kTapRunTestIdle;
  context.maxRepeat = 0;
  context.runTestTime = 0;
  context.shiftLengthBits = 0;
  context.shiftLengthBytes = 0;
  return xsvf_error::none;
}

XsvfError xsvfBegin(XsvfContext& context) {
  context.error = resetContext(context);
  if (context.error == xsvf_error::none) {
    context.error = moveTapTo(*context.port, context.tapState, kTapReset);
  }
  return context.error;
}

XsvfError illegalCommand(XsvfContext& context) {
  context.error = xsvf_error::unsupportedCommand;
  return context.error;
}

XsvfError xsvfStep(XsvfContext& context) {
  if (context.error != xsvf_error::none || context.complete != 0) return context.error;
  readStreamByte(*context.stream, &context.command);
  ++context.commandCount;
  if (context.command >= xsvf_command::count) {
    illegalCommand(context);
  } else {
    commandHandlers[context.command].handler(context);
  }
  // A command whose code or operands lie past the end of the stream never
  // completed, whatever its handler made of the missing bytes.
  if (streamOverrun(*context.stream)) context.error = xsvf_error::unknownError;
  return context.error;
}

void xsvfEnd(XsvfContext&) {}

void FileCommentEcho::commentLine(const CommentLine& line) {
  if (line.first) std::fputc(' ', file_);
  std::fwrite(line.text.data(), 1, line.text.size(), file_);
  if (!line.cutOff) std::fputc('\n', file_);
}

XsvfError playXsvf(JtagPort& port, XsvfStream& stream, int32_t commentEchoLevel,
                   CommentSink* comments) {
  port.window->write32(kJtagPortRegister, kJtagPortEnable);
  setPin(port, kPinTms, 1);
  // Zeroed so that a stream that compares before it sets its mask or expected
  // value meets the same buffers on every play.
  XsvfContext context{};
  context.port = &port;
  context.stream = &stream;
  context.commentEchoLevel = commentEchoLevel;
  context.comments = comments;
  xsvfBegin(context);
  while (context.error == xsvf_error::none && context.complete == 0) xsvfStep(context);
  xsvfEnd(context);
  port.window->write32(kJtagPortRegister, kJtagPortRelease);
  return context.error;
}

}  // namespace tarn
