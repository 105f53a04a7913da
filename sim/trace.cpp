#include "sim/trace.hpp"

#include <cerrno>
#include <cstring>
#include <utility>

namespace tarn::sim {

std::string cEscape(std::string_view text) {
  std::string out;
  for (const char byte : text) {
    const auto c = static_cast<unsigned char>(byte);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c >= 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out += byte;
    }
  }
  return out;
}

void TraceLog::written(bool whole) {
  if (!whole && writeError_ == 0) writeError_ = errno != 0 ? errno : EIO;
}

void TraceLog::emit(const char* line) {
  ++lines_;
  if (file_ != nullptr) {
    written(std::fputs(line, file_) >= 0 && std::fputc('\n', file_) != EOF);
  } else {
    text_ += line;
    text_ += '\n';
  }
}

namespace {

// Lowercase hex of `value`, at least `digits` digits, as %0*x writes it.
char* putHex(char* out, uint32_t value, int digits) {
  while (digits < 8 && (value >> (4 * digits)) != 0) ++digits;
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4)
    *out++ = "0123456789abcdef"[(value >> shift) & 0xF];
  return out;
}

}  // namespace

// "W oooo vvvvvvvv", formatted by hand and written whole: an update traces
// millions of these, and under Wine the C library's formatting and a call per
// piece would make a traced update many times slower than an untraced one.
void TraceLog::access(char kind, uint32_t offset, uint32_t value) {
  char line[24];
  char* end = line;
  *end++ = kind;
  *end++ = ' ';
  end = putHex(end, offset, 4);
  *end++ = ' ';
  end = putHex(end, value, 8);
  *end++ = '\n';
  ++lines_;
  if (file_ != nullptr) {
    const size_t size = size_t(end - line);
    written(std::fwrite(line, 1, size, file_) == size);
  } else {
    text_.append(line, size_t(end - line));
  }
}

void TraceLog::write(uint32_t offset, uint32_t value) { access('W', offset, value); }

void TraceLog::read(uint32_t offset, uint32_t value) { access('R', offset, value); }

void TraceLog::sleep(uint32_t milliseconds) {
  char line[32];
  std::snprintf(line, sizeof line, "S %u", milliseconds);
  emit(line);
}

void TraceLog::status(const char* text) { emit(("T " + cEscape(text)).c_str()); }

void TraceLog::progress(int percent) {
  char line[32];
  std::snprintf(line, sizeof line, "P %d", percent);
  emit(line);
}

void TraceLog::debug(const char* text) { emit(("D " + cEscape(text)).c_str()); }

void TraceLog::comment(const char* text) { emit(("C " + cEscape(text)).c_str()); }

// Binary, so the lines end in \n alone on every platform: the format is exact.
TraceFile::TraceFile(std::string path)
    : path_(std::move(path)), file_(std::fopen(path_.c_str(), "wb")), log_(file_) {
  if (file_ == nullptr) {
    fail(errno);
    return;
  }
  // An update traces millions of lines: write them in large blocks.
  std::setvbuf(file_, nullptr, _IOFBF, size_t(1) << 20);
}

TraceFile::~TraceFile() { close(); }

bool TraceFile::close() {
  if (file_ == nullptr) return error_.empty();
  const int writeError = log_.writeError();
  log_ = TraceLog();  // nothing more reaches the file
  errno = 0;
  const bool flushed = std::fflush(file_) == 0 && std::ferror(file_) == 0;
  const int flushError = errno;
  const bool closed = std::fclose(file_) == 0;
  const int closeError = errno;
  file_ = nullptr;
  if (writeError != 0 || !flushed || !closed) {
    fail(writeError != 0 ? writeError : !flushed ? flushError : closeError);
  }
  return error_.empty();
}

void TraceFile::fail(int number) {
  if (error_.empty())
    error_ = "cannot write '" + path_ + "': " + std::strerror(number != 0 ? number : EIO);
}

void TraceComments::commentLine(const CommentLine& line) {
  std::string text(line.first ? 1 : 0, ' ');
  text.append(line.text);
  log_.comment(text.c_str());
}

}  // namespace tarn::sim
