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
  // Bracket one update, whichever its method.
  virtual void updateBegins() {}
  virtual void updateEnds() {}
  // Bracket one XSVF play, inside its update. The play's waits are stated
  // times, which a coarse system timer only lengthens, so a platform may
  // sharpen its timer here. A flash update must not get the same: its erase
  // allows a fixed number of 1 ms sleeps, and that count is a time budget
  // only at the system's default timer period.
  virtual void xsvfPlayBegins() {}
  virtual void xsvfPlayEnds() {}
};

}  // namespace tarn
