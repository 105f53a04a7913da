#include "jtag/jtag_port.hpp"

#include <cstdio>

namespace tarn {
namespace {

// The system's sleep is never asked for 0 ms: on the target platform that only
// yields the time slice, which is no wait at all.
void sleepMilliseconds(JtagPort& port, int32_t milliseconds) {
  port.system->sleep(milliseconds > 0 ? uint32_t(milliseconds) : 1u);
}

}  // namespace

void busDelay(JtagPort& port, int32_t count) {
  RegisterWindow& window = *port.window;
  for (int32_t i = 0; i < count; ++i) window.write32(kJtagPortRegister, port.shadow);
}

void waitMicroseconds(JtagPort& port, int32_t time) {
  setPin(port, kPinTck, 0);
  if (time < 0) time = 0;  // a count of microseconds; a negative one is no wait
  if (time < 1000) {
    busDelay(port, 5 * time);
    return;
  }
  if (time <= 1000000) {
    sleepMilliseconds(port, (time + 999) / 1000);
    return;
  }
  const int32_t seconds = time / 1000000;
  for (int32_t k = 1; k <= seconds; ++k) {
    const int32_t percent = k * 100 / seconds;
    char text[64];
    std::snprintf(text, sizeof text, "Erazing... %d %%", percent);
    showStatus(port.progress, text);
    showProgress(port.progress, percent);
    sleepMilliseconds(port, 1000);
  }
  const int32_t remainder = time - seconds * 1000000;
  if (remainder > 0) sleepMilliseconds(port, (remainder + 999) / 1000);
}

}  // namespace tarn
