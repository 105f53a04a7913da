#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "sim/campaign/cut_machine.hpp"
#include "sim/sim_flash.hpp"

namespace tarn::sim {

// Power cuts at every step of the flash update, derived from one run per
// bank-1 case of the updater's own Update on a simulated card of `revision`.
// A planning run names the phases and places the cut points; at each cut of
// the main line a copy of the flash loses its power and is judged as the card
// would power up with it:
//  - no marked bank holds anything but a whole image, the old or the new;
//  - the card starts from the bank it should at that point (from none only
//    between the first erase of bank 0 and its marker, bank 1 blank); a
//    marked bank 1 never changes; sectors 3 and 7 are never touched.
// The cut engine follows the program past every cut: the update that lost
// its power shows "Failed", ends, releases the card, and issues no write
// cycle after it saw the card gone; a recovery shows "Success" and leaves
// bank 0 new, bank 1 as it should be, sectors 3 and 7 untouched.
struct PowerCutConfig {
  int32_t revision = 100;  // chooses the image, as the updater does
  int32_t isCardBus = 0;
  SimFlashTiming timing{};
  uint32_t spreadCuts = 20000;  // per case, evenly over the whole update
  uint32_t edgeBytes = 4096;    // every access of the program cycles of these first and last bytes
  uint32_t phaseEdgeAccesses = 8;     // every access at the start and end of each phase
  uint32_t recoveries = 1000;         // per case, both kinds together
  uint32_t jobs = 2;                  // copies running at a time
  bool bank1Cases[2] = {true, true};  // run the case of bank 1 blank, of bank 1 marked
  std::FILE* log = nullptr;           // broken invariants
  // What pressing Update does; the updater's own command unless a test puts
  // a faulty one in its place.
  CutMachine::Command press = runUpdate;
};

struct CutPhase {
  char name[24] = {};
  uint64_t start = 0;  // cut points start + 1 to end lie in the phase
  uint64_t end = 0;
  uint64_t cuts = 0;
  uint64_t recoveries = 0;
  uint64_t noStart = 0;  // cuts after which the card started from no bank
};

struct PowerCutCase {
  bool bank1Marked = false;
  uint64_t accesses = 0;  // of the update without a cut
  double seconds = 0;     // its virtual time
  uint64_t cuts = 0;
  uint64_t continuations = 0;      // copies that followed the program after a cut
  uint64_t freshPcRecoveries = 0;  // copies that pressed Update again on a fresh PC,
  uint64_t samePcRecoveries = 0;   // or in the same process
  uint64_t startsBank0 = 0, startsBank1 = 0, startsNone = 0;
  // The cut points after which the card started from no bank, first and last,
  // and where they must lie: from the access that starts the erase of sector 0
  // to the last access before bank 0's marker is in the flash.
  uint64_t windowFirst = 0, windowLast = 0;
  uint64_t expectedFirst = 0, expectedLast = 0;
  double windowSeconds = 0;  // from that erase to the marker's completion
  std::vector<CutPhase> phases;
};

struct PowerCutResult {
  PowerCutCase cases[2];  // bank 1 blank, bank 1 marked
  uint64_t checks = 0;
  uint64_t broken = 0;
  std::vector<std::string> notes;        // the first broken invariants, by name and cut
  std::vector<std::string> brokenNames;  // every invariant that broke, once each
};

PowerCutResult runPowerCutCampaign(const PowerCutConfig& config);

}  // namespace tarn::sim
