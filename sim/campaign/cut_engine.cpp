#include "sim/campaign/cut_engine.hpp"

#include <cstdio>
#include <string>

namespace tarn::sim {

CutEngine::CutEngine(const CutCampaign& campaign, const CutRules& rules, Verdicts& verdicts)
    : campaign_(campaign), rules_(rules), verdicts_(verdicts) {}

void CutEngine::plan(std::vector<size_t> phaseOf, size_t phases, uint32_t recoveries) {
  recoveries_ = pickRecoveries(phaseOf, phases, recoveries);
  recoveriesAsked_ = recoveries;
  phaseOf_ = std::move(phaseOf);
  phaseCuts.assign(phases, 0);
  phaseRecoveries.assign(phases, 0);
}

void CutEngine::check(bool holds, const char* name, uint64_t cut) {
  char where[96];
  campaign_.describe(cut, where, sizeof where);
  verdicts_.check(holds, name, where);
}

CutMachine::Press CutEngine::runMainLine(CutMachine& pc, CutWindow& window, CutSystem* system,
                                         CutMachine::Command command, uint32_t jobs) {
  pc_ = &pc;
  window_ = &window;
  system_ = system;
  command_ = command;
  window.beforeAnswer = [this] { beforeAnswer(); };
  ForkPool pool(sizeof(CopyRecord), jobs, [this](uint64_t, const void* record) {
    received(*static_cast<const CopyRecord*>(record));
  });
  pool_ = &pool;
  const CutMachine::Press press = pc.pressUpdate(command);
  if (pool.inCopy()) finishCopy(press);
  // The cuts after the program's last read of its answer: it cannot tell
  // them from no cut, so the main line's own ending is theirs.
  if (group_.cutCount > 0) {
    ++copiesStarted_;
    CopyRecord tail = group_;
    tail.cutPress = press;
    received(tail);
    group_.cutCount = 0;
  }
  pool.drain();
  for (const std::string& failure : pool.failures()) {
    verdicts_.check(false, ("a copy was lost: " + failure).c_str(), "the copies");
  }
  verdicts_.check(pool.failureCount() == 0 && pool.received() == pool.started(),
                  "not every copy reported back", "the copies");
  verdicts_.check(continuations + freshPcRecoveries + samePcRecoveries == copiesStarted_,
                  "the reports do not match the copies started", "the copies");
  pool_ = nullptr;
  window.beforeAnswer = nullptr;
  return press;
}

void CutEngine::cut(uint32_t stateAtCut, bool successAllowed, uint64_t atNs) {
  const uint64_t n = cutsTaken++;
  ++phaseCuts[phaseOf_[n]];
  if (group_.cutCount == 0) {
    group_ = CopyRecord{};
    group_.firstCut = n;
    group_.successAllowed = true;
  }
  ++group_.cutCount;
  group_.successAllowed = group_.successAllowed && successAllowed;
  if (nextRecovery_ >= recoveries_.size() || recoveries_[nextRecovery_] != n) return;
  const Recovery kind = nextRecovery_ % 2 == 0 ? Recovery::FreshPc : Recovery::SamePc;
  ++nextRecovery_;
  ++copiesStarted_;
  if (!pool_->split(n)) return;
  group_ = CopyRecord{};
  group_.firstCut = n;
  group_.cutCount = 1;
  group_.successAllowed = successAllowed;
  group_.recovery = kind;
  group_.stateAtCut = stateAtCut;
  pc_->card().cutPowerAt(atNs);
  window_->dead = true;
}

void CutEngine::beforeAnswer() {
  if (group_.cutCount == 0) return;
  ++copiesStarted_;
  if (pool_->split(group_.firstCut)) {
    window_->dead = true;
    return;
  }
  group_.cutCount = 0;
}

void CutEngine::finishCopy(const CutMachine::Press& press) {
  CopyRecord record = group_;
  record.cutPress = press;
  record.writesAfterFailure = window_->writesAfterFailure;
  record.failureSeen = window_->failureSeen;
  if (record.recovery != Recovery::None) {
    std::unique_ptr<CutMachine> fresh;
    CutMachine* pc = pc_;
    if (record.recovery == Recovery::FreshPc) {
      // The owner switches off and on, starts the program and presses Update.
      fresh = campaign_.freshPc(*pc_);
      pc = fresh.get();
    } else {
      // The card's power comes back while the program runs on: Update again.
      pc->card().restorePower();
      window_->plain();
      if (system_ != nullptr) system_->beforeSleep = nullptr;
    }
    record.stateAtStart = campaign_.state(*pc);
    const uint64_t before = campaign_.violations(*pc);
    record.recoveryPress = pc->pressUpdate(command_);
    record.recoveryViolations = campaign_.violations(*pc) - before;
    record.recoveryHeld = campaign_.recoveryHeld(*pc);
  }
  pool_->finish(&record);
}

void CutEngine::received(const CopyRecord& r) {
  const uint64_t cut = r.firstCut;
  const CutMachine::Press& press = r.cutPress;
  if (press.shown == Shown::Success) successAfterCut += r.cutCount;
  check(press.shown != Shown::Success || r.successAllowed, rules_.successTooEarly, cut);
  char name[160];
  std::snprintf(name, sizeof name,
                "%s that lost its power did not end, close its brackets and release",
                rules_.cutUpdate);
  check(press.shown != Shown::Neither && press.brackets == 1 && press.openBrackets == 0 &&
            press.updateEnds == 1 && press.released,
        name, cut);
  if (rules_.rereadsAfterCut) {
    check(r.failureSeen, "the update ended without reading the card again", cut);
    check(r.writesAfterFailure == 0, "write cycles after the card was seen gone", cut);
  }
  if (r.recovery == Recovery::None) {
    ++continuations;
    return;
  }
  const bool freshPc = r.recovery == Recovery::FreshPc;
  ++(freshPc ? freshPcRecoveries : samePcRecoveries);
  ++phaseRecoveries[phaseOf_[cut]];
  const char* what = rules_.recoveryNames[freshPc ? 0 : 1];
  char where[96];
  campaign_.describe(cut, where, sizeof where);
  checkPress(verdicts_, r.recoveryPress, what, where);
  std::snprintf(name, sizeof name, "%s did not find the card as the cut left it", what);
  check(r.stateAtStart == r.stateAtCut, name, cut);
  for (size_t i = 0; i < rules_.recoveryJudgements.size(); ++i) {
    std::snprintf(name, sizeof name, rules_.recoveryJudgements[i], what);
    check((r.recoveryHeld >> i & 1) != 0, name, cut);
  }
  std::snprintf(name, sizeof name, "protocol violation in %s", what);
  check(r.recoveryViolations == 0, name, cut);
}

void CutEngine::judgeMainLine(const CutMachine::Press& press, CutMachine& pc,
                              const MainLinePlan& plan, bool sameContents) {
  const char* where = "the main line";
  verdicts_.check(pc.card().accessCount() == plan.accesses,
                  "the main line ended with another access count than the plan", where);
  verdicts_.check(pc.clock.nowNs() == plan.endNs,
                  "the main line ended at another virtual time than the plan", where);
  verdicts_.check(press.shown == plan.shown,
                  "the main line ended with another result than the plan", where);
  verdicts_.check(sameContents, "the main line left the card otherwise than the plan", where);
  verdicts_.check(campaign_.violations(pc) == 0, "protocol violation in the main line", where);
  verdicts_.check(cutsTaken == phaseOf_.size() && group_.cutCount == 0,
                  "a planned cut was not taken, or not followed past", where);
  verdicts_.check(nextRecovery_ == recoveries_.size(), "a planned recovery was not started", where);
  for (size_t phase = 0; phase < phaseCuts.size(); ++phase) {
    verdicts_.check(phaseCuts[phase] > 0, "a phase without a cut", where);
    if (recoveriesAsked_ >= phaseCuts.size()) {
      verdicts_.check(phaseRecoveries[phase] > 0, "a phase without a recovery", where);
    }
  }
}

}  // namespace tarn::sim
