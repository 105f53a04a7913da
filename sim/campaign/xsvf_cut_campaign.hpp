#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "sim/campaign/cut_machine.hpp"

namespace tarn::sim {

// Power cuts at every step of an XSVF play on the stand-in device, derived
// from one play of the updater's own Update on a card of a revision below 50.
// A planning play places the cuts (register accesses, and moments inside the
// player's sleeps: the long erase wait has no accesses at all); at each cut
// of the main line a copy of the device loses its power and is judged as the
// card would power up with it: holding a whole image, the old or the new, or
// not at all, and then only between the start of the erase and the
// completion of the done flag. The cut engine follows the player past every
// cut: the cut play does not show "Success" unless the device held the whole
// new image at every cut it stands for, and it ends and releases the card; a
// new play shows "Success" and leaves a card that starts with the new image.
struct XsvfCutConfig {
  int32_t isCardBus = 0;       // the CardBus stream instead of the PCI one
  uint32_t spreadCuts = 4000;  // evenly over the play's accesses
  uint32_t sleepCuts = 2;      // inside each sleep of the player
  bool sleepEnds = true;       // and just after its start and before its end
  uint32_t stretchCuts = 32;   // over the first and last stretch of each phase
  bool everyStretch = true;    // the start and middle of every stretch (else the first's)
  uint32_t recoveries = 500;   // both kinds together
  uint32_t jobs = 2;
  std::FILE* log = nullptr;
  // What pressing Update does; the updater's own command unless a test puts
  // a faulty one in its place.
  CutMachine::Command press = runUpdate;
};

struct XsvfCutPhase {
  std::string name;
  uint64_t cuts = 0;
  uint64_t recoveries = 0;  // both kinds
  uint64_t noStart = 0;
};

struct XsvfCutResult {
  uint64_t accesses = 0;  // of the play without a cut
  double seconds = 0;
  uint64_t cuts = 0;
  uint64_t cutsInSleeps = 0;
  uint64_t continuations = 0;
  uint64_t freshPcRecoveries = 0;  // new plays on a fresh PC
  uint64_t samePcRecoveries = 0;   // new plays in the same process
  uint64_t startsOld = 0, startsNew = 0, startsNone = 0;
  // Cuts whose play still ended in 0: a dead chain reads all ones, which the
  // stream's last check (one bit, expected 1) cannot tell from a device that
  // is done. Each must come after the done flag was in place.
  uint64_t successAfterCut = 0;
  // The cuts that left a card that does not start, first and last (the access
  // before, and nanoseconds after it), and where they must lie: from the
  // start of the erase to the completion of the done flag.
  uint64_t windowFirstAccess = 0, windowLastAccess = 0;
  uint64_t windowFirstNs = 0, windowLastNs = 0;
  uint64_t eraseStartNs = 0, doneFlagNs = 0;
  double windowSeconds = 0;
  std::vector<XsvfCutPhase> phases;
  uint64_t checks = 0;
  uint64_t broken = 0;
  std::vector<std::string> notes;
  std::vector<std::string> brokenNames;  // every invariant that broke, once each
};

XsvfCutResult runXsvfCutCampaign(const XsvfCutConfig& config);

}  // namespace tarn::sim
