#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "payloads/payloads.hpp"
#include "sim/sim_flash.hpp"

namespace tarn::sim {

// A fault-injection campaign over the flash update: power cuts at a spread of
// register-access counts covering every phase of a two-bank update, and every
// fault kind of the simulated flash at several places. Each run checks:
//  1. result 0 only when bank 0 holds the whole image behind its marker (and
//     bank 1 too when it was blank before), and never after the flash showed a
//     fault;
//  2. once the flash has shown a failure (or the power is gone), no further
//     write cycle is issued;
//  3. when bank 1 held a marked image before, the card still starts afterwards
//     and bank 1 is unchanged.
// Every run also ends (the polls are bounded) without a protocol violation.
struct FlashCampaignConfig {
  FlashImage image{};       // written by the update
  FlashImage olderImage{};  // what the card held before, in bank 0 and a marked bank 1
  SimFlashTiming timing{};
  uint32_t spreadCuts = 64;     // evenly spread cut points over the whole update
  uint32_t aimedPerPhase = 17;  // cut points aimed into each phase (at most 20)
  uint32_t faultPlaces = 4;     // places per fault kind that is placed by read count
  std::FILE* log = nullptr;     // one line per broken invariant, and a summary
};

struct FlashCampaignResult {
  uint64_t runs = 0;
  uint64_t cutRuns = 0;
  uint64_t faultRuns = 0;
  uint64_t checks = 0;             // invariant checks made
  uint64_t broken = 0;             // of which broken
  uint64_t cleanAccesses = 0;      // accesses of a two-bank update without faults
  uint64_t totalAccesses = 0;      // over all runs
  uint64_t phases = 0;             // phases found in that update
  uint64_t phasesCut = 0;          // phases that had at least one cut inside
  uint64_t cutsMidErase = 0;       // cuts that caught a sector erase in progress
  uint64_t cutsMidProgram = 0;     // cuts that caught a byte program in progress
  std::vector<std::string> notes;  // the first broken invariants, described
};

FlashCampaignResult runFlashCampaign(const FlashCampaignConfig& config);

// An older release of `image` as a card in the field holds it: the same size
// and header, a different body.
std::vector<uint8_t> makeOlderImage(FlashImage image);

}  // namespace tarn::sim
