#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "payloads/payloads.hpp"
#include "sim/sim_flash.hpp"

namespace tarn::sim {

// Every fault kind of the simulated flash at several places, over the flash
// update, bank 1 blank and bank 1 marked. Each run checks:
//  1. result 0 only when bank 0 holds the whole image behind its marker (and
//     bank 1 too when it was blank before), and never after the flash showed a
//     fault;
//  2. once the flash has shown a failure, no further write cycle is issued;
//  3. when bank 1 held a marked image before, the card still starts afterwards
//     and bank 1 is unchanged.
// Every run also ends (the polls are bounded) without a protocol violation.
// Power cuts are the power-cut campaign's.
struct FlashFaultConfig {
  FlashImage image{};       // written by the update
  FlashImage olderImage{};  // what the card held before, in bank 0 and a marked bank 1
  SimFlashTiming timing{};
  uint32_t faultPlaces = 4;  // places per fault kind that is placed by read count
  std::FILE* log = nullptr;  // one line per broken invariant, and a summary
};

struct FlashFaultResult {
  uint64_t runs = 0;
  uint64_t checks = 0;             // invariant checks made
  uint64_t broken = 0;             // of which broken
  uint64_t totalAccesses = 0;      // over all runs
  std::vector<std::string> notes;  // the first broken invariants, described
};

FlashFaultResult runFlashFaultCampaign(const FlashFaultConfig& config);

// An older release of `image` as a card in the field holds it: the same size
// and header, a different body.
std::vector<uint8_t> makeOlderImage(FlashImage image);

}  // namespace tarn::sim
