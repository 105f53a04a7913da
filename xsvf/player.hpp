#pragma once
#include <cstdint>
#include <cstdio>
#include <string_view>

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

// One finished line of an XSVF comment. Its bytes lie in the stream itself,
// so the player copies nothing.
struct CommentLine {
  std::string_view text;  // up to the newline or the 0 that ends it, without either
  bool first;             // the comment's first line
  bool cutOff;            // the stream ended inside it, before its 0
};

// Where the echo of XCOMMENT text goes: one call per line. A comment's text
// is split at its newlines and ends at its 0 byte.
class CommentSink {
 public:
  virtual void commentLine(const CommentLine& line) = 0;

 protected:
  ~CommentSink() = default;
};

// The echo as the updater writes it to standard output: a space, the
// comment's bytes as they are, a newline (none after a comment cut off by
// the end of the stream).
class FileCommentEcho final : public CommentSink {
 public:
  explicit FileCommentEcho(std::FILE* file) : file_(file) {}
  void commentLine(const CommentLine& line) override;

 private:
  std::FILE* file_;
};

// Plays the stream into the card's JTAG chain: port enable, chain reset, the
// command loop, port release (the value 16, whatever the result). XCOMMENT
// text goes to `comments` when commentEchoLevel is above 0; null takes it
// nowhere (a front end that owns the screen). Allocates nothing.
XsvfError playXsvf(JtagPort& port, XsvfStream& stream, int32_t commentEchoLevel,
                   CommentSink* comments);

}  // namespace tarn
