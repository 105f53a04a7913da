#pragma once
#include <cstdint>
#include <vector>

namespace tarn::tools {

// The stand-in XSVF streams: complete programs for the stand-in device of
// sim/stand_in_device.hpp. Identify, enter programming mode, erase, then
// program and verify 160 pages and 160 single rows, set the done flag, leave
// programming mode and finally poll the done register. Deterministic: the same
// bytes on every build. PCI and CardBus differ only in the image they program.
std::vector<uint8_t> makeXsvfStandIn(bool cardBus);

// The image that stream programs, from row 0 on (the stand-in mark first).
std::vector<uint8_t> xsvfStandInImage(bool cardBus);

std::vector<uint8_t> makeXsvfStandInPci();
std::vector<uint8_t> makeXsvfStandInCardBus();

}  // namespace tarn::tools
