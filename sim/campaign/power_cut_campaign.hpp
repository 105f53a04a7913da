#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "payloads/payloads.hpp"
#include "sim/sim_flash.hpp"

namespace tarn::sim {

// Power cuts at every step of the flash update, derived from one run per
// bank-1 case. The update runs once on a simulated card; at each cut point a
// copy of the flash loses its power there and is judged as the card would
// power up with it, while the run goes on. What the program does after the
// power has gone is seen in copies of the whole process taken at the cut
// (fork): every cut up to the next read of the read-back register leaves the
// program in the same place, so one copy there stands for all of them. Some
// cuts are followed in their copy by the user's next update on the same card.
// Checked for each cut:
//  - no marked bank holds anything but a whole image, the old or the new;
//  - the card starts from the bank it should at that point (and from none
//    only between the first erase of bank 0 and its marker, when bank 1 is
//    blank); a marked bank 1 never changes;
//  - the update that lost its power ends with 1, and issues no write cycle
//    after the first read that showed the card gone;
//  - after a recovery update: 0, the card starts from bank 0 with the new
//    image, bank 1 is as it should be, sectors 3 and 7 untouched, no protocol
//    violation.
struct PowerCutConfig {
  FlashImage image{};       // written by the update
  FlashImage olderImage{};  // what the card held before, in bank 0 (and a marked bank 1)
  SimFlashTiming timing{};
  uint32_t spreadCuts = 20000;  // per case, evenly over the whole update
  uint32_t edgeBytes = 4096;    // every access of the program cycles of these first and last bytes
  uint32_t phaseEdgeAccesses = 8;  // every access at the start and end of each phase
  uint32_t recoveries = 1000;      // per case
  uint32_t jobs = 2;               // copies running at a time
  std::FILE* log = nullptr;        // broken invariants and the report
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
  uint64_t continuations = 0;  // copies that followed the program after a cut
  uint64_t recoveries = 0;
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
  std::vector<std::string> notes;  // the first broken invariants, described
};

PowerCutResult runPowerCutCampaign(const PowerCutConfig& config);
void printPowerCutReport(const PowerCutResult& result, std::FILE* out);

}  // namespace tarn::sim
