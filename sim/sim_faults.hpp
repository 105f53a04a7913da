#pragma once
// Numbers, revisions and faults as people type them, to tarn-sim and to the
// TARN_SIM_* settings alike: one reading of each, so that a fault or a number
// that works in one place works, and means the same, in the other.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "sim/jtag_chain.hpp"
#include "sim/sim_driver.hpp"
#include "sim/sim_flash.hpp"

namespace tarn::sim {

// Decimal, or hexadecimal after 0x. A leading zero is still decimal (014 is
// fourteen): a person who pads a number never means octal. No sign, no spaces.
bool parseNumber(std::string_view text, uint64_t max, uint64_t& value);
// The same with an optional leading minus, within min to max.
bool parseSignedNumber(std::string_view text, int64_t min, int64_t max, int64_t& value);

// The parts of `text` between the separators, in order: "a,b" gives a and b,
// "a," gives a and an empty part, "" one empty part.
std::vector<std::string_view> splitAt(std::string_view text, char separator);

// Hardware revisions are one byte in the cards' records.
inline constexpr int32_t kMaxRevision = 255;
bool parseRevision(std::string_view text, int32_t& revision);

// One fault of a family, "name" or "name=VALUE". False with a one-line
// `error` that names the fault and what is known.
//
// The driver: no-driver, wrong-signature, count=N, map-fails, zero-mapping,
// zero-record, fail=CODE, failed-fills-output.
bool parseDriverFault(std::string_view text, SimDriverFaults& faults, std::string& error);
// A card's flash: never-erase=S, never-program=A, stuck=A:B:L, busy-stuck=N,
// all-ones=N, and power-cut=N (the card loses power after N register
// accesses; `powerCutAfter` 0 means never).
bool parseFlashFault(std::string_view text, SimFlashFaults& faults, uint64_t& powerCutAfter,
                     std::string& error);
// The programmable device in a card's JTAG chain: erase-fails, stuck-bit=N.
bool parseChainFault(std::string_view text, StandInDeviceFaults& faults, std::string& error);

enum class FaultFamily { Driver, Flash, Chain };
// A family's faults as the errors list them: "erase-fails, stuck-bit=N".
std::string knownFaults(FaultFamily family);
// A family's faults for --help, one line each: the spelling from column
// `indent`, what it does from column 25.
std::string faultHelp(FaultFamily family, size_t indent);

}  // namespace tarn::sim
