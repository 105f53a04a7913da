#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "sim/campaign/cut_machine.hpp"
#include "sim/campaign/fork_pool.hpp"

namespace tarn::sim {

enum class Recovery : uint8_t { None, FreshPc, SamePc };

// What a copy reports after following the program past the cuts it stands
// for: the first of them (in the plan's order) and how many, how the update
// that lost its power ended, and, for a recovery, what the new update left.
struct CopyRecord {
  uint64_t firstCut = 0;
  uint64_t cutCount = 0;
  uint64_t writesAfterFailure = 0;
  uint64_t recoveryViolations = 0;
  CutMachine::Press cutPress;
  CutMachine::Press recoveryPress;
  uint32_t recoveryHeld = 0;  // bit i: the campaign's recovery judgement i held
  uint32_t stateAtStart = 0;  // the card's state as the recovery found it
  uint32_t stateAtCut = 0;    // and as the cut left it
  Recovery recovery = Recovery::None;
  bool successAllowed = false;  // at every cut it stands for
  bool failureSeen = false;
};

// What a campaign supplies besides its cut points and their judgements.
struct CutRules {
  const char* successTooEarly;   // judgement: the cut update showed "Success" where it may not
  const char* cutUpdate;         // "the update", "the play"
  const char* recoveryNames[2];  // on a fresh PC, in the same process
  // The campaign's judgements of a recovery, each "%s" the recovery's name.
  std::vector<const char*> recoveryJudgements;
  // The cut update must read the card again and write no flash cycle after.
  bool rereadsAfterCut = false;
};

// What the recoveries need of a campaign: a fresh PC, what it shows.
class CutCampaign {
 public:
  virtual ~CutCampaign() = default;
  // Where a cut lies, for the notes.
  virtual void describe(uint64_t cut, char* where, size_t size) const = 0;
  // A fresh simulated PC whose card holds what `cut`'s card holds now.
  virtual std::unique_ptr<CutMachine> freshPc(CutMachine& cut) const = 0;
  // The card's state in a few bits: the recovery must find it as the cut left it.
  virtual uint32_t state(CutMachine& pc) const = 0;
  virtual uint64_t violations(CutMachine& pc) const = 0;
  // Bit i set when the recovery on `pc` left what judgement i asks.
  virtual uint32_t recoveryHeld(CutMachine& pc) const = 0;
};

// The main line's end as the planning run left it.
struct MainLinePlan {
  uint64_t accesses = 0;
  uint64_t endNs = 0;
  Shown shown = Shown::Neither;
};

// Follows one main line past its cuts. Each cut the campaign takes joins the
// open group: the cuts since the program last read its answer, which it
// cannot tell apart. Before the next answer one copy follows the program for
// the group; a cut chosen for recovery gets a copy of its own, whose card
// loses its power at the cut and which then presses Update again, on a fresh
// PC or in the same process (every other one each). A copy never takes a cut
// nor splits. Every copy's record is judged once, in the original; every
// failure of a copy is counted as broken.
class CutEngine {
 public:
  CutEngine(const CutCampaign& campaign, const CutRules& rules, Verdicts& verdicts);

  // The cuts' phases (< phases) in the plan's order; the recoveries chosen.
  void plan(std::vector<size_t> phaseOf, size_t phases, uint32_t recoveries);
  // Runs the main line on `pc`, its window and sleeps hooked to the campaign's
  // cuts; returns in the original only, once every copy has reported and been
  // judged.
  CutMachine::Press runMainLine(CutMachine& pc, CutWindow& window, CutSystem* system,
                                CutMachine::Command command, uint32_t jobs);
  // At the next planned cut of the main line, `atNs` on its clock. `stateAtCut`
  // is the card's state as it powers up after the cut; `successAllowed`, that
  // the cut update may show "Success" (the card held the new image already).
  void cut(uint32_t stateAtCut, bool successAllowed, uint64_t atNs);
  // The main line against its plan; every cut and recovery taken, every phase
  // cut (and recovered, when there were recoveries enough).
  void judgeMainLine(const CutMachine::Press& press, CutMachine& pc, const MainLinePlan& plan,
                     bool sameContents);

  // The counts below into a campaign's result record, phase by phase.
  template <typename Result>
  void countInto(Result& result) const {
    result.cuts = cutsTaken;
    result.continuations = continuations;
    result.freshPcRecoveries = freshPcRecoveries;
    result.samePcRecoveries = samePcRecoveries;
    for (size_t i = 0; i < result.phases.size(); ++i) {
      result.phases[i].cuts = phaseCuts[i];
      result.phases[i].recoveries = phaseRecoveries[i];
    }
  }

  uint64_t cutsTaken = 0;
  uint64_t continuations = 0;
  uint64_t freshPcRecoveries = 0;
  uint64_t samePcRecoveries = 0;
  uint64_t successAfterCut = 0;  // cuts whose update still showed "Success"
  std::vector<uint64_t> phaseCuts, phaseRecoveries;

 private:
  void beforeAnswer();
  [[noreturn]] void finishCopy(const CutMachine::Press& press);
  void received(const CopyRecord& record);
  void check(bool holds, const char* name, uint64_t cut);

  const CutCampaign& campaign_;
  const CutRules& rules_;
  Verdicts& verdicts_;
  std::vector<size_t> phaseOf_;
  std::vector<size_t> recoveries_;  // cuts, in the plan's order
  uint32_t recoveriesAsked_ = 0;
  size_t nextRecovery_ = 0;
  uint64_t copiesStarted_ = 0;
  CopyRecord group_;  // the open group; in a copy, what it stands for
  CutMachine* pc_ = nullptr;
  CutWindow* window_ = nullptr;
  CutSystem* system_ = nullptr;
  CutMachine::Command command_ = nullptr;
  ForkPool* pool_ = nullptr;
};

}  // namespace tarn::sim
