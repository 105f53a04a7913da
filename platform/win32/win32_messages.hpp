#pragma once
#include <cstdint>

#include "platform/progress.hpp"
#include "platform/system_services.hpp"

namespace tarn {

// The message-queue calls the Win32 back end makes around an update, in their
// own shapes (HWND as intptr_t, the MSG that PeekMessageA fills kept by the
// real call). A test fills the table with recorders.
struct Win32MessageCalls {
  // PeekMessageA; nonzero when a message was there.
  int (*peekMessageA)(intptr_t window, uint32_t filterMin, uint32_t filterMax,
                      uint32_t removeMessage);
  int (*messageBoxA)(intptr_t owner, const char* text, const char* caption, uint32_t type);
};

inline constexpr uint32_t kPmNoRemove = 0x0000;
inline constexpr uint32_t kPmRemove = 0x0001;
inline constexpr uint32_t kMbTaskModal = 0x2000;
// The input that reaches the sheet's windows through the queue: keys, mouse
// in the client areas, mouse on the frames (the close box among them).
inline constexpr uint32_t kKeyFirst = 0x0100;
inline constexpr uint32_t kKeyLast = 0x0109;
inline constexpr uint32_t kMouseFirst = 0x0200;
inline constexpr uint32_t kMouseLast = 0x020E;
inline constexpr uint32_t kNcMouseFirst = 0x00A0;  // WM_NCMOUSEMOVE
inline constexpr uint32_t kNcMouseLast = 0x00AD;   // WM_NCXBUTTONDBLCLK

// How often, in update time, the thread answers the system at the least.
// Windows takes a window whose thread has not looked at its queue for 5 s for
// hung and offers to end the program, which would leave a card half written.
inline constexpr uint32_t kAnswerEveryMs = 250;
// The longest single Sleep during an update, well inside that bound.
inline constexpr uint32_t kSleepSliceMs = 100;

class Win32Messages {
 public:
  explicit Win32Messages(const Win32MessageCalls& calls) : calls_(calls) {}

  // Looks at the queue without taking anything from it: the system sees the
  // thread alive, and no input reaches a page while its update runs.
  void answerSystem();
  // Takes the keys and clicks the sheet's thread holds, and drops them.
  void discardInput();
  // MessageBoxA. A box with no owner leaves the sheet enabled under it, and
  // the sheet's Update would run inside the box's message loop: task-modal,
  // the box disables the thread's windows while it is up and still has no
  // owner.
  int messageBox(intptr_t owner, const char* text, const char* caption, uint32_t type);

 private:
  Win32MessageCalls calls_;
};

// The system services an update uses, answering the system in the sleeps:
// a long sleep is slept in slices with an answer after each.
class AnsweringSystemServices final : public SystemServices {
 public:
  AnsweringSystemServices(SystemServices& inner, Win32Messages& messages)
      : inner_(inner), messages_(messages) {}
  void sleep(uint32_t milliseconds) override;
  void outputDebugString(const char* text) override { inner_.outputDebugString(text); }
  void updateBegins() override { inner_.updateBegins(); }
  void updateEnds() override { inner_.updateEnds(); }
  void xsvfPlayBegins() override { inner_.xsvfPlayBegins(); }
  void xsvfPlayEnds() override { inner_.xsvfPlayEnds(); }
  PowerState powerState() override { return inner_.powerState(); }

 private:
  SystemServices& inner_;
  Win32Messages& messages_;
};

// The progress path of an update, answering the system after each report:
// flash programming runs for seconds between sleeps, but reports every 1000
// bytes.
class AnsweringProgress final : public ProgressTarget {
 public:
  AnsweringProgress(ProgressTarget* inner, Win32Messages& messages)
      : inner_(inner), messages_(messages) {}
  void setStatusText(const char* text) override;
  void setProgressPosition(int percent) override;

 private:
  ProgressTarget* inner_;
  Win32Messages& messages_;
};

}  // namespace tarn
