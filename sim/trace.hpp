#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "platform/progress.hpp"
#include "platform/register_window.hpp"
#include "platform/system_services.hpp"
#include "xsvf/player.hpp"

namespace tarn::sim {

// The access trace: one line per event, in the order the program caused them.
//   W oooo vvvvvvvv   register write        R oooo vvvvvvvv   register read
//   S n               sleep request (ms)    T text            status text
//   P n               progress position     D text            debugger output
//   C text            XSVF comment echo, one line per comment (the terminal
//                     program, whose screen the echo must not draw over)
// Texts are escaped by cEscape. Other tools read this format; keep it exact.
class TraceLog {
 public:
  // Lines go to `file` when given, else they are kept in text().
  explicit TraceLog(std::FILE* file = nullptr) : file_(file) {}
  void write(uint32_t offset, uint32_t value);
  void read(uint32_t offset, uint32_t value);
  void sleep(uint32_t milliseconds);
  void status(const char* text);
  void progress(int percent);
  void debug(const char* text);
  void comment(const char* text);
  // Pushes what is buffered to the file, so a reader sees a finished update
  // while the program still runs.
  void flush() {
    if (file_ != nullptr) written(std::fflush(file_) == 0);
  }
  const std::string& text() const { return text_; }
  uint64_t lines() const { return lines_; }
  // The errno of the first write to the file that failed; 0: none has.
  int writeError() const { return writeError_; }

 private:
  void emit(const char* line);
  void access(char kind, uint32_t offset, uint32_t value);
  void written(bool whole);
  std::FILE* file_;
  std::string text_;
  uint64_t lines_ = 0;
  int writeError_ = 0;
};

// A trace kept in a file. A trace cut short is no evidence: close() says
// whether every line reached the file.
class TraceFile {
 public:
  // Opens `path` for writing; see error().
  explicit TraceFile(std::string path);
  ~TraceFile();
  TraceFile(const TraceFile&) = delete;
  TraceFile& operator=(const TraceFile&) = delete;

  // The trace, or null when the file could not be opened.
  TraceLog* log() { return file_ != nullptr ? &log_ : nullptr; }
  // Flushes and closes the file, after which nothing is written to it. False
  // when a line could not be written whole.
  bool close();
  // Empty while all is well, else "cannot write 'PATH': REASON".
  const std::string& error() const { return error_; }

 private:
  void fail(int number);
  std::string path_;
  std::FILE* file_ = nullptr;
  TraceLog log_;
  std::string error_;
};

// Every byte that is not printable ASCII escaped, as \n, \r, \t or \xNN, and
// the backslash doubled: a text shown this way cannot move a terminal's cursor
// or split a trace line.
std::string cEscape(std::string_view text);

// The XSVF comment echo as "C" lines of `log`, one per comment line, among
// the accesses around it. The first line of a comment starts with a space, as
// on standard output.
class TraceComments final : public CommentSink {
 public:
  explicit TraceComments(TraceLog& log) : log_(log) {}
  void commentLine(const CommentLine& line) override;

 private:
  TraceLog& log_;
};

class TracingWindow final : public RegisterWindow {
 public:
  TracingWindow(RegisterWindow& inner, TraceLog& log) : inner_(inner), log_(log) {}
  uint32_t read32(uint32_t offset) override {
    const uint32_t value = inner_.read32(offset);
    log_.read(offset, value);
    return value;
  }
  void write32(uint32_t offset, uint32_t value) override {
    log_.write(offset, value);
    inner_.write32(offset, value);
  }

 private:
  RegisterWindow& inner_;
  TraceLog& log_;
};

class TracingSystem final : public SystemServices {
 public:
  TracingSystem(SystemServices& inner, TraceLog& log) : inner_(inner), log_(log) {}
  void sleep(uint32_t milliseconds) override {
    log_.sleep(milliseconds);
    inner_.sleep(milliseconds);
  }
  void outputDebugString(const char* text) override {
    log_.debug(text);
    inner_.outputDebugString(text);
  }
  // Not trace events, but the platform under the trace still sees the update
  // and sharpens its timer for the play.
  void updateBegins() override { inner_.updateBegins(); }
  void updateEnds() override {
    inner_.updateEnds();
    log_.flush();
  }
  void xsvfPlayBegins() override { inner_.xsvfPlayBegins(); }
  void xsvfPlayEnds() override { inner_.xsvfPlayEnds(); }
  // Asked before an update, outside it: no trace event either.
  PowerState powerState() override { return inner_.powerState(); }

 private:
  SystemServices& inner_;
  TraceLog& log_;
};

// Records the progress channel; `inner` (the page) may be absent.
class TracingProgress final : public ProgressTarget {
 public:
  TracingProgress(ProgressTarget* inner, TraceLog& log) : inner_(inner), log_(log) {}
  void setStatusText(const char* text) override {
    log_.status(text);
    showStatus(inner_, text);
  }
  void setProgressPosition(int percent) override {
    log_.progress(percent);
    showProgress(inner_, percent);
  }

 private:
  ProgressTarget* inner_;
  TraceLog& log_;
};

}  // namespace tarn::sim
