#pragma once
#include <cstdint>

namespace tarn {

// Where the computer's power comes from, as the system reports it.
enum class PowerLine { Unknown, Mains, Battery };
struct PowerState {
  PowerLine line = PowerLine::Unknown;
  int32_t batteryPercent = -1;  // charge left, 0 to 100; -1 when not reported
};

// The operating-system services an update needs besides the card: the
// millisecond sleep and the debugger output line; and, before one starts,
// the power state.
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
  // Where the power comes from now. Unknown where the system cannot tell;
  // a desktop, which reports no battery, may say either.
  virtual PowerState powerState() { return {}; }
};

}  // namespace tarn
