#include "platform/win32/win32_messages.hpp"

namespace tarn {
namespace {
// A queue holds a few hundred messages at most; the bound only keeps a
// stand-in that never runs dry from holding the thread.
constexpr int kMaxDiscarded = 4096;
}  // namespace

void Win32Messages::answerSystem() { calls_.peekMessageA(0, 0, 0, kPmNoRemove); }

void Win32Messages::discardInput() {
  const uint32_t ranges[][2] = {
      {kKeyFirst, kKeyLast}, {kMouseFirst, kMouseLast}, {kNcMouseFirst, kNcMouseLast}};
  for (const auto& range : ranges) {
    for (int n = 0; n < kMaxDiscarded; ++n) {
      if (calls_.peekMessageA(0, range[0], range[1], kPmRemove) == 0) break;
    }
  }
}

int Win32Messages::messageBox(intptr_t owner, const char* text, const char* caption,
                              uint32_t type) {
  return calls_.messageBoxA(owner, text, caption, owner == 0 ? type | kMbTaskModal : type);
}

void AnsweringSystemServices::sleep(uint32_t milliseconds) {
  // A wait of 0 stays one call: the services below decide what it means.
  do {
    const uint32_t slice = milliseconds < kSleepSliceMs ? milliseconds : kSleepSliceMs;
    inner_.sleep(slice);
    messages_.answerSystem();
    milliseconds -= slice;
  } while (milliseconds > 0);
}

void AnsweringProgress::setStatusText(const char* text) {
  showStatus(inner_, text);
  messages_.answerSystem();
}

void AnsweringProgress::setProgressPosition(int percent) {
  showProgress(inner_, percent);
  messages_.answerSystem();
}

}  // namespace tarn
