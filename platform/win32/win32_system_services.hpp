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
  // GetSystemPowerStatus, its two fields the updater reads; 0 when it fails.
  int (*getSystemPowerStatus)(uint8_t* acLineStatus, uint8_t* batteryLifePercent);
};

// Sleep, debugger output and the power state on Windows. For the length of an
// XSVF play the system timer runs at 1 ms: at the default tick of 10 to
// 15.6 ms every short run-test wait would take up to 16 times as long. A flash update keeps the
// default period: its sector erase gives up after 5000 sleeps of 1 ms, which
// last 50 to 78 s at the default tick, enough for the slowest healthy sector,
// but only about 5 s at 1 ms, after bank 0 has already been erased.
class Win32SystemServices final : public SystemServices {
 public:
  explicit Win32SystemServices(const Win32SystemCalls& calls) : calls_(calls) {}
  ~Win32SystemServices() override { xsvfPlayEnds(); }

  void sleep(uint32_t milliseconds) override;
  void outputDebugString(const char* text) override;
  void xsvfPlayBegins() override;
  void xsvfPlayEnds() override;
  PowerState powerState() override;

  bool timerSharpened() const { return timerSharpened_; }

 private:
  Win32SystemCalls calls_;
  bool timerSharpened_ = false;
};

}  // namespace tarn
