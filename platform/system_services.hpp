#pragma once
#include <cstdint>

namespace tarn {

// The two operating-system services an update needs besides the card:
// the millisecond sleep and the debugger output line.
class SystemServices {
 public:
  virtual ~SystemServices() = default;
  virtual void sleep(uint32_t milliseconds) = 0;
  virtual void outputDebugString(const char* text) = 0;
  // Bracket one update, so a platform can sharpen its timer for the 1 ms
  // sleeps of the update and restore it afterwards.
  virtual void updateBegins() {}
  virtual void updateEnds() {}
};

}  // namespace tarn
