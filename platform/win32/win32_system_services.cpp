#include "platform/win32/win32_system_services.hpp"

namespace tarn {
namespace {
constexpr uint32_t kTimerPeriodMs = 1;
constexpr uint32_t kTimerGranted = 0;  // TIMERR_NOERROR
// SYSTEM_POWER_STATUS: ACLineStatus 0 off line, 1 on line, 255 unknown;
// BatteryLifePercent 0 to 100, 255 unknown.
constexpr uint8_t kAcOffLine = 0;
constexpr uint8_t kAcOnLine = 1;
constexpr uint8_t kMaxPercent = 100;
}  // namespace

void Win32SystemServices::sleep(uint32_t milliseconds) {
  // Sleep(0) only gives up the rest of the time slice; a wait always waits.
  calls_.sleep(milliseconds == 0 ? 1 : milliseconds);
}

void Win32SystemServices::outputDebugString(const char* text) { calls_.outputDebugStringA(text); }

PowerState Win32SystemServices::powerState() {
  uint8_t acLine = 0;
  uint8_t percent = 0;
  if (calls_.getSystemPowerStatus(&acLine, &percent) == 0) return {};
  if (acLine == kAcOnLine) return {PowerLine::Mains, -1};
  if (acLine != kAcOffLine) return {};
  return {PowerLine::Battery, percent <= kMaxPercent ? int32_t(percent) : -1};
}

void Win32SystemServices::xsvfPlayBegins() {
  // One request per play: a second begin without an end would leave the
  // system timer sharpened after the program has finished with it.
  if (timerSharpened_) return;
  timerSharpened_ = calls_.timeBeginPeriod(kTimerPeriodMs) == kTimerGranted;
}

void Win32SystemServices::xsvfPlayEnds() {
  // Only a period that was granted is given back; an unmatched timeEndPeriod
  // would undo another program's request.
  if (!timerSharpened_) return;
  calls_.timeEndPeriod(kTimerPeriodMs);
  timerSharpened_ = false;
}

}  // namespace tarn
