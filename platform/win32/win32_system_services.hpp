#pragma once
#include <cstdint>

#include "platform/system_services.hpp"

namespace tarn {

// The Win32 calls behind SystemServices, as a table so the timer handling can
// be checked without Windows.
struct Win32SystemCalls {
  void (*sleep)(uint32_t milliseconds);
  void (*outputDebugStringA)(const char* text);
  uint32_t (*timeBeginPeriod)(uint32_t period);  // 0 (TIMERR_NOERROR) when granted
  uint32_t (*timeEndPeriod)(uint32_t period);
};

// Sleep and debugger output on Windows. For the length of one update the
// system timer runs at 1 ms: at the default 15.6 ms tick each 1 ms sleep of the
// erase loop and every short run-test wait would take up to 16 times as long.
class Win32SystemServices final : public SystemServices {
 public:
  explicit Win32SystemServices(const Win32SystemCalls& calls) : calls_(calls) {}
  ~Win32SystemServices() override { updateEnds(); }

  void sleep(uint32_t milliseconds) override;
  void outputDebugString(const char* text) override;
  void updateBegins() override;
  void updateEnds() override;

  bool timerSharpened() const { return timerSharpened_; }

 private:
  Win32SystemCalls calls_;
  bool timerSharpened_ = false;
};

}  // namespace tarn
